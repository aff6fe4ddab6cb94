// The program's service class: carries the options to the application object and runs it as the service body.
#pragma once

#include <string>

#include "service/NTService.h"

class CVelmoraService : public CNTService {
  public:
    CVelmoraService(const wchar_t* serviceName, const wchar_t* displayName, const wchar_t* description);
    ~CVelmoraService() override;

    // Reports start-pending, runs the application object on its own thread,
    // reports running and waits until that thread has ended.
    void ServiceMain(DWORD argc, wchar_t** argv) override;
    // Asks the application thread to quit and reports stop-pending.
    void OnStop() override;
    // Prints the usage text (string 1528) to standard output.
    void ShowHelp() override;

    // The application options; empty or 0 means not given.
    std::wstring m_strPackagesPath;
    int m_nServerPort = 0;
    std::wstring m_strLogFile;
    bool m_bLogEvents = false;
};
