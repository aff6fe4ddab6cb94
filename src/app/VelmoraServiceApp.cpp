// Construction and defaults of the application object.
#include "app/VelmoraServiceApp.h"

#include <typeinfo>

#include "app/ConsolePrint.h"
#include "platform/DefaultFolders.h"

CVelmoraServiceApp::CVelmoraServiceApp(CVelmoraService* service)
    : CWinApp(nullptr), m_pService(service), m_strPackagesPath(plat::DefaultPackagesFolder()) {
    InstallApplicationLogSink();
    // A service never writes to a console, while its application object lives.
    if (m_bOwnedByService) SuppressConsoleLines(true);
}

CVelmoraServiceApp::~CVelmoraServiceApp() {
    if (m_bOwnedByService) SuppressConsoleLines(false);
}

CVelmoraServiceApp* GetVelmoraApp() {
    CWinApp* app = AfxGetApp();
    // Every log line asks: the exact type is told apart by its type record
    // (one per program), and only a derived class (a test's) takes the full cast.
    if (app != nullptr && &typeid(*app) == &typeid(CVelmoraServiceApp)) return static_cast<CVelmoraServiceApp*>(app);
    return dynamic_cast<CVelmoraServiceApp*>(app);
}
