// The platform's own event log and service manager calls, and the test seam that replaces them.
#include "service/ServiceSystemCalls.h"

#include <atomic>

namespace {

const EventLogCalls kPlatformEventLog = {&plat::OpenEventSource, &plat::ReportEventToSource, &plat::CloseEventSource};

const ServiceManagerCalls kPlatformServiceManager = {
    &plat::SystemModuleHandle,
    &plat::FindRegisterServiceControlHandlerEx,
    &plat::RegisterServiceControlHandlerPlain,
    &plat::StartServiceDispatcher,
    &plat::SendServiceStatus,
};

std::atomic<const EventLogCalls*> g_eventLog{&kPlatformEventLog};
std::atomic<const ServiceManagerCalls*> g_serviceManager{&kPlatformServiceManager};

}  // namespace

const EventLogCalls& CurrentEventLogCalls() { return *g_eventLog.load(); }
const ServiceManagerCalls& CurrentServiceManagerCalls() { return *g_serviceManager.load(); }

void SetEventLogCallsForTests(const EventLogCalls* calls) { g_eventLog.store(calls ? calls : &kPlatformEventLog); }

void SetServiceManagerCallsForTests(const ServiceManagerCalls* calls) {
    g_serviceManager.store(calls ? calls : &kPlatformServiceManager);
}
