// CNTService: the service command line, the foreground run mode and console control.
// Placeholder until the command line is built: parsing does nothing and
// processing runs the service under the service manager.
#include "platform/Handles.h"
#include "platform/Win32Codes.h"
#include "service/NTService.h"

void CNTService::ParseCommandLine(CNTServiceCommandLineInfo&) {}

DWORD CNTService::ProcessCommandLine(CNTServiceCommandLineInfo&) {
    return StartCtrlDispatcher() ? NO_ERROR : plat::LastError();
}

void CNTService::RunAsConsole() { ServiceMain(0, nullptr); }

void CNTService::ShowHelp() {}

BOOL CNTService::ConsoleCtrlHandler(DWORD) { return FALSE; }
