// The program's service class.
#include "app/VelmoraService.h"

#include "app/VelmoraServiceApp.h"
#include "platform/Console.h"
#include "platform/EventLog.h"
#include "platform/Handles.h"
#include "platform/MessageQueue.h"
#include "platform/ModuleFileName.h"
#include "platform/ResourceText.h"
#include "platform/ServiceCodes.h"
#include "platform/Win32Codes.h"

namespace {
constexpr DWORD kStartedEvent = 0x40000001;
constexpr DWORD kStoppedEvent = 0x40000003;
constexpr UINT kUsageText = 1528;
constexpr std::size_t kMaxModulePath = 260;
}  // namespace

CVelmoraService::CVelmoraService(const wchar_t* serviceName, const wchar_t* displayName, const wchar_t* description)
    : CNTService(serviceName, displayName, description) {
    // The event source's message file is the program itself, which carries the message table.
    m_strEventMessageFile = plat::ExecutableFilePath();
    if (m_strEventMessageFile.size() > kMaxModulePath) m_strEventMessageFile.resize(kMaxModulePath);
    m_dwStartType = SERVICE_AUTO_START;
    m_dwServiceType = SERVICE_WIN32_OWN_PROCESS;
}

CVelmoraService::~CVelmoraService() = default;

void CVelmoraService::ServiceMain(DWORD, wchar_t**) {
    ReportStatus(SERVICE_START_PENDING, 1, 1000);

    auto* app = new CVelmoraServiceApp(this);
    if (!m_strPackagesPath.empty()) app->m_strPackagesPath = m_strPackagesPath;
    if (m_nServerPort != 0) app->m_nServerPort = m_nServerPort;
    if (!m_strLogFile.empty()) app->SetLogFile(m_strLogFile);
    if (m_bLogEvents) app->m_bLogEvents = true;

    app->m_hThread = nullptr;
    app->m_nThreadID = 0;
    if (!app->CreateThread(CREATE_SUSPENDED)) {
        app->Log(L"Could not create main thread");
        AfxSetCurrentApp(nullptr);
        delete app;
        return;
    }
    // The application deletes itself, thread handle included, when its
    // thread ends: wait on a handle of our own.
    HANDLE thread = plat::DuplicateHandleObject(app->m_hThread);

    ReportStatus(SERVICE_RUNNING);
    if (m_bEventLogEnabled) {
        const wchar_t* name = m_strDisplayName.c_str();
        m_eventLog.Report(EVENTLOG_INFORMATION_TYPE, kStartedEvent, 1, &name);
    }

    app->ResumeThread();
    if (thread != nullptr) {
        plat::WaitForObject(thread, INFINITE);
        plat::CloseHandleObject(thread);
    }

    if (m_bEventLogEnabled) {
        const wchar_t* name = m_strDisplayName.c_str();
        m_eventLog.Report(EVENTLOG_INFORMATION_TYPE, kStoppedEvent, 1, &name);
    }
}

void CVelmoraService::OnStop() {
    // The pending state is reported before the application thread is told
    // to quit: once it quits, the service body may return, the framework may
    // report SERVICE_STOPPED and (in the foreground mode, where a console
    // break calls this on a thread of its own) the service object may be
    // gone. Nothing here may touch the object after the post.
    ReportStatus(SERVICE_STOP_PENDING, 1, 1100);
    if (CWinApp* app = AfxGetApp()) plat::PostToThread(app->m_nThreadID, WM_QUIT, 0, 0);
}

void CVelmoraService::ShowHelp() { plat::WriteStandardOutput(plat::LoadResourceString(kUsageText)); }
