// POSIX start-up: hands the entry function the arguments after the program
// name, joined by single spaces, as the text of a command line.
#include <string>

#include "app/ProgramMain.h"
#include "common/Utf8.h"

int main(int argc, char** argv) {
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) joined += ' ';
        joined += argv[i];
    }
    return ProgramMain(Utf8ToWideLossy(joined));
}
