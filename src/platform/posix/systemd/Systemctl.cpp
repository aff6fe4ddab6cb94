// Running systemctl with both outputs collected and a time limit; systemd's folders.
#include "platform/posix/systemd/Systemctl.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Handles.h"
#include "platform/ServiceManagerCodes.h"
#include "platform/posix/PosixObjects.h"
#include "platform/posix/systemd/SystemdStates.h"

extern char** environ;

namespace plat::posix {
namespace {

// daemon-reload on a large system can take a while; a systemctl that hangs
// longer must not hang the installer.
constexpr int kRunLimitMilliseconds = 120000;

std::string EnvironmentOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? std::string(value) : std::string(fallback);
}

void CloseIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

std::string SystemctlProgram() { return EnvironmentOr("VELMORA_SYSTEMCTL", "systemctl"); }

std::filesystem::path SystemdUnitFolder() {
    return EnvironmentOr("VELMORA_SYSTEMD_UNIT_DIR", "/etc/systemd/system");
}

std::filesystem::path SystemdRuntimeFolder() {
    return EnvironmentOr("VELMORA_SYSTEMD_RUNTIME_DIR", "/run/systemd/system");
}

bool SystemdIsRunning() {
    struct stat info {};
    return ::stat(SystemdRuntimeFolder().c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

SystemctlRun RunSystemctl(const std::vector<std::string>& arguments) {
    SystemctlRun run;
    const std::string program = SystemctlProgram();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        run.runError = Win32FromErrno(errno);
        CloseIfOpen(outPipe[0]);
        CloseIfOpen(outPipe[1]);
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    CloseIfOpen(outPipe[1]);
    CloseIfOpen(errPipe[1]);
    if (spawned != 0) {
        run.runError = Win32FromErrno(spawned);
        CloseIfOpen(outPipe[0]);
        CloseIfOpen(errPipe[0]);
        return run;
    }

    const std::uint64_t deadline = plat::SystemTickCount64() + kRunLimitMilliseconds;
    bool timedOut = false;
    while (outPipe[0] >= 0 || errPipe[0] >= 0) {
        const std::uint64_t now = plat::SystemTickCount64();
        if (now >= deadline) {
            timedOut = true;
            break;
        }
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(deadline - now));
        if (ready < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) (i == 0 ? run.output : run.errorOutput).append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR) CloseIfOpen(i == 0 ? outPipe[0] : errPipe[0]);
        }
    }
    CloseIfOpen(outPipe[0]);
    CloseIfOpen(errPipe[0]);
    if (timedOut) ::kill(pid, SIGKILL);

    int status = 0;
    pid_t waited;
    while ((waited = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (timedOut) run.runError = ERROR_SERVICE_REQUEST_TIMEOUT;
    // Without its exit status (SIGCHLD ignored by the program) the run cannot count as a success.
    else if (waited < 0) run.runError = Win32FromErrno(errno);
    else if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    return run;
}

DWORD Win32ErrorOfRun(const SystemctlRun& run) {
    if (run.runError != 0) return run.runError;
    if (run.exitStatus == 0) return 0;
    return Win32ErrorOfSystemctl(run.exitStatus, run.errorOutput);
}

}  // namespace plat::posix
