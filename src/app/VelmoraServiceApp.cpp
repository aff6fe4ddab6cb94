// Construction and defaults of the application object.
#include "app/VelmoraServiceApp.h"

#include <typeinfo>

#include "app/ApplicationOptions.h"
#include "app/ConsolePrint.h"
#include "app/VelmoraService.h"
#include "common/TextTrim.h"
#include "platform/DefaultFolders.h"
#include "platform/Handles.h"
#include "platform/SystemErrorText.h"
#include "platform/Win32Codes.h"
#include "server/ServerFigures.h"
#include "threading/Clock.h"

CVelmoraServiceApp::CVelmoraServiceApp(CVelmoraService* service)
    : CWinApp(nullptr),
      m_pService(service),
      m_strPackagesPath(plat::DefaultPackagesFolder()),
      m_pFigures(std::make_shared<CServerFigures>(TickCount64())) {
    InstallApplicationLogSink();
    // A service never writes to a console, while its application object lives.
    if (m_bOwnedByService) SuppressConsoleLines(true);
}

CVelmoraServiceApp::~CVelmoraServiceApp() {
    for (HANDLE thread : m_lstUnstoppedListeners) plat::CloseHandleObject(thread);
    if (m_bOwnedByService) SuppressConsoleLines(false);
}

bool CVelmoraServiceApp::SetServerAddress(std::wstring_view value) {
    m_strServerAddress = ServerAddressLiteral(value);
    const std::wstring problem = ServerAddressProblem(value);
    if (problem.empty()) return true;
    Log(L"Cannot start: %s (error %lu, %s)", problem, ERROR_INVALID_PARAMETER,
        WithoutTrailingLineBreaks(plat::SystemErrorText(ERROR_INVALID_PARAMETER)));
    if (m_pService != nullptr) m_pService->OnServerStartRefused(problem, ERROR_INVALID_PARAMETER);
    return false;
}

CVelmoraServiceApp* GetVelmoraApp() {
    CWinApp* app = AfxGetApp();
    // Every log line asks: the exact type is told apart by its type record
    // (one per program), and only a derived class (a test's) takes the full cast.
    if (app != nullptr && &typeid(*app) == &typeid(CVelmoraServiceApp)) return static_cast<CVelmoraServiceApp*>(app);
    return dynamic_cast<CVelmoraServiceApp*>(app);
}
