// The systemd notify message of a service status report.
#include "platform/posix/systemd/ServiceNotifyText.h"

#include <cstdint>

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

}  // namespace plat
