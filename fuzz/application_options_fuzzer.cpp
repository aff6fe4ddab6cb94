// Fuzz target: the entry function's option parsing.
//
// Each two input bytes make one wide character of the command line, so every
// UTF-16 code unit (and, on Linux, surrogate values as plain numbers) can
// appear. Invariants: nothing crashes; the options written back as an install
// registers them read back to the same options; a port that was given is the
// clean decimal number that stood in the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzTree.h"
#include "app/ApplicationOptions.h"
#include "common/Format.h"

namespace {

bool SameOptions(const ApplicationOptions& a, const ApplicationOptions& b) {
    return a.nServerPort == b.nServerPort && a.strServerAddress == b.strServerAddress &&
           a.strPackagesPath == b.strPackagesPath && a.strLogFile == b.strLogFile && a.bLogEvents == b.bLogEvents &&
           a.bHeadSizes == b.bHeadSizes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring commandLine;
    commandLine.reserve(size / 2);
    for (std::size_t i = 0; i + 1 < size; i += 2)
        commandLine.push_back(static_cast<wchar_t>(data[i] | (static_cast<unsigned>(data[i + 1]) << 8)));

    const ApplicationOptions options = ParseApplicationOptions(commandLine);
    const std::wstring registered = RegisteredOptions(options);
    const ApplicationOptions again = ParseApplicationOptions(registered);
    if (!SameOptions(options, again)) fuzz::Violation("registered options read back differently", registered);
    if (again.bConsole) fuzz::Violation("registered options turned on console mode", registered);

    if (options.nServerPort != 0 && ParsePortValue(FormatW(L"%ld", options.nServerPort)) != options.nServerPort)
        fuzz::Violation("a port does not read back from its own decimal text", registered);
    if (options.strPackagesPath.find(L' ') != std::wstring::npos || options.strLogFile.find(L' ') != std::wstring::npos)
        fuzz::Violation("an option value holds a space", registered);
    // An address is listened on exactly when nothing is said against it.
    if (ServerAddressLiteral(options.strServerAddress).empty() != !ServerAddressProblem(options.strServerAddress).empty()
        && !options.strServerAddress.empty())
        fuzz::Violation("a server address is both refused and listened on, or neither", registered);
    return 0;
}
