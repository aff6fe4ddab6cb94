// Creating, configuring, starting and awaiting the application object.
#include "app/ApplicationRun.h"

#include "app/VelmoraServiceApp.h"
#include "platform/Handles.h"
#include "platform/Win32Codes.h"

namespace {
// Set by the application thread before it ends; read once that thread has ended.
CVelmoraServiceApp* g_pKeptApp = nullptr;
}  // namespace

ApplicationRunResult RunApplication(CVelmoraService* service, const ApplicationOptions& options,
                                    const std::function<void()>& beforeStart, DWORD* error) {
    auto* app = new CVelmoraServiceApp(service);
    if (options.nServerPort != 0) app->m_nServerPort = options.nServerPort;
    if (!options.strPackagesPath.empty()) app->m_strPackagesPath = options.strPackagesPath;
    if (!options.strLogFile.empty()) app->SetLogFile(options.strLogFile);
    if (options.bLogEvents) app->m_bLogEvents = true;
    if (options.bHeadSizes) app->m_bHeadSizes = true;
    if (options.bMetricsOff) app->m_bMetrics = false;
    app->m_bConsoleMode = service == nullptr;
    // The options are checked once the log and the console take lines: a
    // refusal is reported there.
    if (!app->SetServerAddress(options.strServerAddress)) {
        AfxSetCurrentApp(nullptr);
        delete app;
        return ApplicationRunResult::OptionsRefused;
    }

    app->m_hThread = nullptr;
    app->m_nThreadID = 0;
    if (!app->CreateThread(CREATE_SUSPENDED)) {
        if (error) *error = plat::LastError();
        if (service != nullptr) app->Log(L"Could not create main thread");
        AfxSetCurrentApp(nullptr);
        delete app;
        return ApplicationRunResult::ThreadNotCreated;
    }
    // The application deletes itself, thread handle included, when its
    // thread ends: wait on a handle of our own.
    HANDLE thread = plat::DuplicateHandleObject(app->m_hThread);
    if (beforeStart) beforeStart();
    app->ResumeThread();
    if (thread != nullptr) {
        plat::WaitForObject(thread, INFINITE);
        plat::CloseHandleObject(thread);
    }
    return ApplicationRunResult::Ended;
}

void KeepApplicationUntilProgramEnd(CVelmoraServiceApp* app) { g_pKeptApp = app; }

int EndProgram(int exitCode, DWORD waitMs, void (*endAtOnce)(DWORD exitCode)) {
    CVelmoraServiceApp* app = g_pKeptApp;
    if (app == nullptr) return exitCode;
    if (!app->WaitForUnstoppedListeners(waitMs)) {
        // The exit a failed stop gives, now, with the object still in place.
        endAtOnce(static_cast<DWORD>(exitCode));
        return exitCode;
    }
    g_pKeptApp = nullptr;
    delete app;
    return exitCode;
}
