// Windows start-up: the GUI-subsystem entry with the command line after the program name.
#include <windows.h>

#include "platform/ProgramMain.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    return ProgramMain(commandLine ? commandLine : L"");
}
