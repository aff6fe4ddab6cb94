// The application options and the console switch, read from the command line.
#pragma once

#include <string>
#include <string_view>

struct ApplicationOptions {
    bool bConsole = false;        // "-debug"
    int nServerPort = 0;          // "-serverport:"; 0 = not given
    std::wstring strServerAddress; // "-serveraddress:", as typed; empty = not given
    std::wstring strPackagesPath; // "-packagespath:"; empty = not given
    std::wstring strLogFile;      // "-logfile:"; empty = not given
    bool bLogEvents = false;      // "-logevents"
    bool bHeadSizes = false;      // "-headsizes"
    bool bMetricsOff = false;     // "-metrics:off": no figures at /metrics
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

// The address that a "-serveraddress:" value names: an IPv4 literal, or an
// IPv6 literal with or without brackets, which are taken off. Empty when the
// value is none of these.
std::wstring ServerAddressLiteral(std::wstring_view value);
// Why a "-serveraddress:" value cannot be listened on ("the server address
// 'x' is not an IPv4 or IPv6 address"), or empty when it can or is empty
// (not given).
std::wstring ServerAddressProblem(std::wstring_view value);

// The options as an install appends them to the registered command line, in
// the fixed order port, address, packages path, log file, log events, head
// sizes, figures off, each only when given (" -serverport:1991 -logevents -headsizes").
std::wstring RegisteredOptions(const ApplicationOptions& options);

// The first option of RegisteredOptions that an installed service could not
// be given as it stands, or empty. The service reads the registered command
// line split at spaces; under systemd it gets the arguments that the
// Windows rules make of that line (double quotes group, tabs separate),
// which for a double quote or a tab in a value are other options.
std::wstring OptionNotRegistrable(const ApplicationOptions& options);
