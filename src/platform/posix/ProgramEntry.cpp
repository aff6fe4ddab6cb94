// POSIX start-up: takes a listening socket that systemd handed over, and hands
// the entry function the arguments after the program name, joined by single
// spaces, as the text of a command line.
#include <string>
#include <vector>

#include "common/Utf8.h"
#include "platform/ActivatedSocket.h"
#include "platform/ProcessArguments.h"
#include "platform/ProgramMain.h"

int main(int argc, char** argv) {
    // Before any thread starts: taking the socket changes the environment.
    plat::TakeActivatedListenSocket();
    std::vector<std::wstring> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(Utf8ToWideLossy(argv[i]));
    plat::SetProcessArguments(std::move(arguments));

    std::string joined;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) joined += ' ';
        joined += argv[i];
    }
    return ProgramMain(Utf8ToWideLossy(joined));
}
