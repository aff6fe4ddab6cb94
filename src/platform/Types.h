// The Win32 scalar types the program is written in, on every platform.
//
// These typedefs match <windows.h> exactly on Windows, so a platform source
// file may include both. Constants live in Win32Codes.h, which a file that
// includes <windows.h> must not include (the system defines them as macros).
#pragma once

#include <cstdint>

#ifdef _WIN32
typedef unsigned long DWORD;
typedef long LONG;
#else
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
#endif
typedef unsigned int UINT;
typedef int BOOL;
typedef std::uintptr_t WPARAM;
typedef std::intptr_t LPARAM;
typedef void* HANDLE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
