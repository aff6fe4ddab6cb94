// The program's entry function: the platform's start-up code (ProgramEntry.cpp
// of the backend) calls it, and the application defines it.
#pragma once

#include <string>

// `commandLine` is the text after the program name. Returns the process exit code.
int ProgramMain(const std::wstring& commandLine);
