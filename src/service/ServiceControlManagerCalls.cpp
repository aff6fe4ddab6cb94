// The platform's own service manager calls for install and control, and the test seam that replaces them.
#include "service/ServiceControlManagerCalls.h"

#include <atomic>

#include "platform/Handles.h"
#include "platform/ModuleFileName.h"
#include "service/NTService.h"

namespace {

const ServiceControlManagerCalls kPlatformCalls = {
    &plat::OpenServiceManager,
    &plat::CloseServiceManagerHandle,
    &plat::LockServiceManagerDatabase,
    &plat::UnlockServiceManagerDatabase,
    &plat::ServiceManagerTakesDescriptionAtCreation,
    &plat::ServiceManagerKeepsFailureActions,
    &plat::CreateServiceEntry,
    &plat::OpenServiceEntry,
    &plat::DeleteServiceEntry,
    &plat::QueryServiceStatusRecord,
    &plat::ControlServiceEntry,
    &plat::StartServiceEntry,
    &plat::EnumerateServiceStatus,
    &plat::QueryServiceConfiguration,
    &plat::FindChangeServiceConfig2,
    &plat::ExecutableFilePath,
    &InstallEventSource,
    &UninstallEventSource,
    &plat::SleepMilliseconds,
};

std::atomic<const ServiceControlManagerCalls*> g_calls{&kPlatformCalls};

}  // namespace

const ServiceControlManagerCalls& CurrentServiceControlManagerCalls() { return *g_calls.load(); }

void SetServiceControlManagerCallsForTests(const ServiceControlManagerCalls* calls) {
    g_calls.store(calls ? calls : &kPlatformCalls);
}
