// The program's entry function, called by the platform's start-up code.
#pragma once

#include <string>

// `commandLine` is the text after the program name. Returns the process exit code.
int ProgramMain(const std::wstring& commandLine);
