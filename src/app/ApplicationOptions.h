// The four application options and the console switch, read from the command line.
#pragma once

#include <string>
#include <string_view>

struct ApplicationOptions {
    bool bConsole = false;        // "-debug"
    int nServerPort = 0;          // "-serverport:"; 0 = not given
    std::wstring strPackagesPath; // "-packagespath:"; empty = not given
    std::wstring strLogFile;      // "-logfile:"; empty = not given
    bool bLogEvents = false;      // "-logevents"
};

// Reads the command line (the text after the program name). Tokens are split
// at spaces only; a token is taken when its lower-cased form starts with an
// option's prefix, the first matching option wins, later values replace
// earlier ones, and tokens that match nothing are left to the service framework.
ApplicationOptions ParseApplicationOptions(std::wstring_view commandLine);

// The "-serverport:" value rule: a clean decimal integer (leading spaces and
// tabs allowed, optional sign, saturating at the 32-bit range, nothing but
// spaces and tabs after it); anything else gives 0 (not given).
int ParsePortValue(std::wstring_view value);

// The options as an install appends them to the registered command line, in
// the fixed order port, packages path, log file, log events, each only when
// given (" -serverport:1991 -logevents").
std::wstring RegisteredOptions(const ApplicationOptions& options);
