// The systemd notify messages of a service: status reports and the watchdog's period.
#include "platform/posix/systemd/ServiceNotifyText.h"

#include <cstdint>
#include <limits>

#include "common/Format.h"

namespace plat {

std::string ServiceStatusNotifyText(const ServiceStatusRecord& status) {
    std::string text;
    bool pending = true;
    switch (status.currentState) {
        case 1:
            pending = false;
            text = "STATUS=Stopped";
            if (status.win32ExitCode != 0)
                text += FormatA(", Win32 exit code %lu, service-specific exit code %lu", status.win32ExitCode,
                                status.serviceSpecificExitCode);
            break;
        case 2: text = FormatA("STATUS=Starting, checkpoint %lu", status.checkPoint); break;
        case 3: text = FormatA("STOPPING=1\nSTATUS=Stopping, checkpoint %lu", status.checkPoint); break;
        case 4:
            pending = false;
            text = "READY=1\nSTATUS=Running";
            break;
        case 5: text = FormatA("STATUS=Continuing, checkpoint %lu", status.checkPoint); break;
        case 6: text = FormatA("STATUS=Pausing, checkpoint %lu", status.checkPoint); break;
        case 7:
            pending = false;
            text = "STATUS=Paused";
            break;
        default: return std::string();
    }
    // The wait hint is the time until the next report, which is what systemd's
    // extension of the current time-out means too.
    if (pending && status.waitHint != 0)
        text += FormatA("\nEXTEND_TIMEOUT_USEC=%llu", static_cast<std::uint64_t>(status.waitHint) * 1000u);
    return text;
}

namespace {

// A decimal number without sign, spaces or anything after it; false when there
// is none or it does not fit.
bool ParseDecimal(const char* text, std::uint64_t* value) {
    if (text == nullptr || *text == '\0') return false;
    std::uint64_t result = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        const unsigned digit = static_cast<unsigned>(*c - '0');
        if (result > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

}  // namespace

std::uint64_t WatchdogPingIntervalMilliseconds(const char* watchdogUsec, const char* watchdogPid, long ownPid) {
    std::uint64_t periodUsec = 0;
    if (!ParseDecimal(watchdogUsec, &periodUsec) || periodUsec == 0) return 0;
    // The variables may be inherited by a process that systemd does not watch.
    if (watchdogPid != nullptr) {
        std::uint64_t pid = 0;
        if (!ParseDecimal(watchdogPid, &pid) || ownPid < 0 || pid != static_cast<std::uint64_t>(ownPid)) return 0;
    }
    const std::uint64_t interval = periodUsec / 4000u;
    return interval == 0 ? 1 : interval;
}

}  // namespace plat
