// A service control manager in memory, installed for the life of a test
// through the install-and-control call table: services with scripted state
// changes, scripted failures per call, a record of every call in order, and a
// clock that moves by the time each wait would have slept.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Format.h"
#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/ServiceCodes.h"
#include "service/ServiceControlManagerCalls.h"
#include "threading/Clock.h"

class FakeServiceControlManager {
  public:
    struct Service {
        std::wstring displayName;
        std::wstring binaryPath;
        DWORD state = SERVICE_STOPPED;
        // A start or a stop makes the service pending; each status query that
        // reports the pending state moves it on to the next of these states
        // (the last one stays).
        std::deque<DWORD> afterStart{SERVICE_RUNNING};
        std::deque<DWORD> afterStop{SERVICE_STOPPED};
        // The exit codes it reports while stopped.
        DWORD exitCode = 0;
        DWORD specificExitCode = 0;
        bool acceptsPause = false;
        bool configFails = false;
        bool openFails = false;
        std::wstring description;
    };

    // What CreateService received, copied at the time of the call.
    struct CreateCall {
        std::wstring name, displayName, binaryPath;
        DWORD access = 0, type = 0, start = 0, errorControl = 0;
        std::optional<std::wstring> group, user, password, description;
        std::vector<wchar_t> dependencies;  // the whole double-NUL-terminated list
        bool tagIdNull = false;
    };

    static constexpr std::uint64_t kStartTick = 1000000;

    // A fake made while another one is in use takes over until it ends; then the other one is back.
    FakeServiceControlManager() : m_previous(s_current) {
        s_current = this;
        SetServiceControlManagerCallsForTests(&kCalls);
        SetTickCountForTests(now);
    }
    ~FakeServiceControlManager() {
        s_current = m_previous;
        SetServiceControlManagerCallsForTests(m_previous ? &kCalls : nullptr);
        if (m_previous) SetTickCountForTests(m_previous->now);
        else SetTickCountForTests(std::nullopt);
    }
    FakeServiceControlManager(const FakeServiceControlManager&) = delete;
    FakeServiceControlManager& operator=(const FakeServiceControlManager&) = delete;

    // The calls, in order, e.g. "OpenSCManager ServicesActive 0x1", "QueryServiceStatus Name", "Sleep 250".
    std::vector<std::string> calls;
    std::map<std::wstring, Service> services;
    // The Win32 code a call fails with, by the name it has in `calls` ("CreateService" ...).
    std::map<std::string, DWORD> failures;
    std::vector<CreateCall> creates;
    // Event-source registrations: "install <log>|<source>|<file>" and "uninstall <log>|<source>".
    std::vector<std::string> eventSources;
    bool exportsChangeConfig2 = true;
    // A manager like Windows' by default: description and failure actions after the create.
    bool takesDescriptionAtCreation = false;
    bool keepsFailureActions = true;
    std::wstring executablePath = L"C:\\Program Files\\Velmora\\VelmoraService.exe";
    // The description buffer's address at the last ChangeServiceConfig2 (to tell a copy from the original).
    const wchar_t* lastDescriptionBuffer = nullptr;
    std::uint64_t now = kStartTick;
    // Enumeration: the first call fails with this code instead of 234 when set.
    std::optional<DWORD> enumSizeError;

    int OpenHandles() const {
        int count = 0;
        for (const auto& h : m_handles) count += h->open ? 1 : 0;
        return count;
    }
    std::size_t CountCalls(const std::string& prefix) const {
        std::size_t count = 0;
        for (const std::string& c : calls) count += c.rfind(prefix, 0) == 0 ? 1 : 0;
        return count;
    }

  private:
    struct Handle {
        enum Kind { Manager, Service, Lock } kind;
        std::wstring name;
        DWORD access;
        bool open = true;
    };

    static FakeServiceControlManager& Self() { return *s_current; }
    static std::string N(const std::wstring& text) { return WideToUtf8(text); }

    static bool Failing(const std::string& call) {
        auto found = Self().failures.find(call);
        if (found == Self().failures.end()) return false;
        plat::SetLastErrorCode(found->second);
        return true;
    }

    static void* NewHandle(Handle::Kind kind, const std::wstring& name, DWORD access) {
        Self().m_handles.push_back(std::make_unique<Handle>(Handle{kind, name, access}));
        return Self().m_handles.back().get();
    }
    static Handle* Find(void* h) {
        for (auto& handle : Self().m_handles)
            if (handle.get() == h && handle->open) return handle.get();
        return nullptr;
    }
    static std::string Describe(void* h) {
        Handle* handle = Find(h);
        if (!handle) return "invalid";
        if (handle->kind == Handle::Manager) return "manager";
        if (handle->kind == Handle::Lock) return "lock";
        return "service " + N(handle->name);
    }
    static Service* ServiceOf(void* h) {
        Handle* handle = Find(h);
        if (!handle || handle->kind != Handle::Service) return nullptr;
        auto found = Self().services.find(handle->name);
        return found == Self().services.end() ? nullptr : &found->second;
    }

    static plat::ScHandle OpenManager(const wchar_t* machine, const wchar_t* database, DWORD access) {
        Self().calls.push_back(FormatA("OpenSCManager %s%s 0x%lX", machine ? "machine " : "",
                                       database ? N(database) : std::string("null"), access));
        if (Failing("OpenSCManager")) return nullptr;
        return NewHandle(Handle::Manager, L"", access);
    }
    static BOOL CloseHandle(plat::ScHandle h) {
        Self().calls.push_back("CloseServiceHandle " + Describe(h));
        Handle* handle = Find(h);
        if (!handle || handle->kind == Handle::Lock) {
            plat::SetLastErrorCode(6);
            return FALSE;
        }
        handle->open = false;
        return TRUE;
    }
    static plat::ScLock Lock(plat::ScHandle manager) {
        Self().calls.push_back("LockServiceDatabase " + Describe(manager));
        if (Failing("LockServiceDatabase")) return nullptr;
        return NewHandle(Handle::Lock, L"", 0);
    }
    static BOOL Unlock(plat::ScLock lock) {
        Self().calls.push_back("UnlockServiceDatabase " + Describe(lock));
        Handle* handle = Find(lock);
        if (!handle || handle->kind != Handle::Lock) return FALSE;
        handle->open = false;
        return TRUE;
    }
    static plat::ScHandle Create(plat::ScHandle manager, const wchar_t* name, const wchar_t* display, DWORD access,
                                 DWORD type, DWORD start, DWORD errorControl, const wchar_t* path,
                                 const wchar_t* group, DWORD* tagId, const wchar_t* dependencies, const wchar_t* user,
                                 const wchar_t* password, const wchar_t* description) {
        Self().calls.push_back("CreateService " + N(name));
        CreateCall call{name, display, path, access, type, start, errorControl, {}, {}, {}, {}, {}, tagId == nullptr};
        if (group) call.group = group;
        if (user) call.user = user;
        if (password) call.password = password;
        if (description) call.description = description;
        for (const wchar_t* p = dependencies;; ++p) {
            call.dependencies.push_back(*p);
            if (*p == L'\0' && (p == dependencies || p[-1] == L'\0')) break;
        }
        Self().creates.push_back(call);
        if (Failing("CreateService")) return nullptr;
        if (Self().services.count(name)) {
            plat::SetLastErrorCode(1073);
            return nullptr;
        }
        Service service;
        service.displayName = display;
        service.binaryPath = path;
        if (description) service.description = description;
        Self().services[name] = service;
        return NewHandle(Handle::Service, name, access);
    }
    static plat::ScHandle OpenService(plat::ScHandle, const wchar_t* name, DWORD access) {
        Self().calls.push_back(FormatA("OpenService %s 0x%lX", N(name), access));
        if (Failing("OpenService")) return nullptr;
        auto found = Self().services.find(name);
        if (found == Self().services.end() || found->second.openFails) {
            plat::SetLastErrorCode(1060);
            return nullptr;
        }
        return NewHandle(Handle::Service, name, access);
    }
    static BOOL Delete(plat::ScHandle service) {
        Self().calls.push_back("DeleteService " + Describe(service));
        if (Failing("DeleteService")) return FALSE;
        Self().services.erase(Find(service)->name);
        return TRUE;
    }
    static BOOL QueryStatus(plat::ScHandle h, plat::ServiceStatusRecord* status) {
        Self().calls.push_back("QueryServiceStatus " + Describe(h));
        if (Failing("QueryServiceStatus")) return FALSE;
        Service* service = ServiceOf(h);
        if (!service) {
            plat::SetLastErrorCode(6);
            return FALSE;
        }
        *status = {SERVICE_WIN32_OWN_PROCESS, service->state, 0, 0, 0, 0, 0};
        if (service->state == SERVICE_STOPPED) {
            status->win32ExitCode = service->exitCode;
            status->serviceSpecificExitCode = service->specificExitCode;
        }
        std::deque<DWORD>& next = service->state == SERVICE_START_PENDING ? service->afterStart : service->afterStop;
        if (service->state == SERVICE_START_PENDING || service->state == SERVICE_STOP_PENDING) {
            if (!next.empty()) {
                service->state = next.front();
                if (next.size() > 1) next.pop_front();
            }
        }
        return TRUE;
    }
    static BOOL Control(plat::ScHandle h, DWORD control, plat::ServiceStatusRecord* status) {
        Self().calls.push_back(FormatA("ControlService %s %lu", Describe(h), control));
        if (Failing("ControlService")) return FALSE;
        Service* service = ServiceOf(h);
        if (control == SERVICE_CONTROL_STOP) {
            service->state = SERVICE_STOP_PENDING;
        } else if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE) {
            if (!service->acceptsPause) {
                plat::SetLastErrorCode(1052);
                return FALSE;
            }
            service->state = control == SERVICE_CONTROL_PAUSE ? SERVICE_PAUSED : SERVICE_RUNNING;
        }
        *status = {SERVICE_WIN32_OWN_PROCESS, service->state, 0, 0, 0, 0, 0};
        return TRUE;
    }
    static BOOL Start(plat::ScHandle h, DWORD count, const wchar_t** arguments) {
        Self().calls.push_back(FormatA("StartService %s %lu%s", Describe(h), count, arguments ? " args" : ""));
        if (Failing("StartService")) return FALSE;
        ServiceOf(h)->state = SERVICE_START_PENDING;
        return TRUE;
    }
    static BOOL Enum(plat::ScHandle h, DWORD type, DWORD state, void* buffer, DWORD bytes, DWORD* needed,
                     DWORD* returned, DWORD* resume) {
        Self().calls.push_back(FormatA("EnumServicesStatus 0x%lX %lu %lu%s", type, state, bytes,
                                       buffer ? " buffer" : ""));
        if (Failing("EnumServicesStatus")) return FALSE;
        std::size_t size = 0;
        for (const auto& [name, service] : Self().services)
            size += sizeof(plat::EnumServiceStatusRecord) + (name.size() + service.displayName.size() + 2) * sizeof(wchar_t);
        if (!buffer && Self().enumSizeError) {
            plat::SetLastErrorCode(*Self().enumSizeError);
            return FALSE;
        }
        *returned = 0;
        if (size > bytes) {
            *needed = static_cast<DWORD>(size);
            plat::SetLastErrorCode(234);
            return FALSE;
        }
        auto* records = static_cast<plat::EnumServiceStatusRecord*>(buffer);
        auto* strings = reinterpret_cast<wchar_t*>(records + Self().services.size());
        for (const auto& [name, service] : Self().services) {
            plat::EnumServiceStatusRecord& r = records[(*returned)++];
            r.serviceName = strings;
            strings = std::copy(name.begin(), name.end(), strings);
            *strings++ = 0;
            r.displayName = strings;
            strings = std::copy(service.displayName.begin(), service.displayName.end(), strings);
            *strings++ = 0;
            r.status = {SERVICE_WIN32_OWN_PROCESS, service.state, 0, 0, 0, 0, 0};
        }
        if (resume) *resume = 0;
        return TRUE;
    }
    static BOOL QueryConfig(plat::ScHandle h, void* buffer, DWORD bytes, DWORD* needed) {
        Self().calls.push_back(FormatA("QueryServiceConfig %s %lu", Describe(h), bytes));
        Service* service = ServiceOf(h);
        if (service->configFails) {
            plat::SetLastErrorCode(5);
            return FALSE;
        }
        const std::size_t size = sizeof(plat::ServiceConfigRecord) + (service->binaryPath.size() + 1) * sizeof(wchar_t);
        if (size > bytes) {
            *needed = static_cast<DWORD>(size);
            plat::SetLastErrorCode(122);
            return FALSE;
        }
        auto* record = static_cast<plat::ServiceConfigRecord*>(buffer);
        *record = {};
        record->binaryPathName = reinterpret_cast<wchar_t*>(record + 1);
        *std::copy(service->binaryPath.begin(), service->binaryPath.end(), record->binaryPathName) = 0;
        return TRUE;
    }
    static BOOL ChangeConfig2(plat::ScHandle h, DWORD level, void* info) {
        if (level == 2) {  // failure actions: "reset <seconds> <type>/<delay> ..."
            auto* actions = static_cast<plat::ServiceFailureActionsRecord*>(info);
            std::string text = FormatA("ChangeServiceConfig2 %s 2 reset %lu", Describe(h), actions->resetPeriod);
            for (DWORD i = 0; i < actions->actionCount; ++i)
                text += FormatA(" %lu/%lu", actions->actions[i].type, actions->actions[i].delay);
            Self().calls.push_back(text);
        } else {
            auto* description = static_cast<plat::ServiceDescriptionRecord*>(info);
            Self().calls.push_back(FormatA("ChangeServiceConfig2 %s %lu %s", Describe(h), level, N(description->description)));
            Self().lastDescriptionBuffer = description->description;
            if (Failing("ChangeServiceConfig2")) return FALSE;
            ServiceOf(h)->description = description->description;
        }
        return TRUE;
    }
    static bool TakesDescriptionAtCreation() { return Self().takesDescriptionAtCreation; }
    static bool KeepsFailureActions() { return Self().keepsFailureActions; }
    static plat::ChangeServiceConfig2Function FindChangeConfig2(void* module) {
        return (module != nullptr && Self().exportsChangeConfig2) ? &ChangeConfig2 : nullptr;
    }
    static std::wstring ExecutablePath() { return Failing("ExecutablePath") ? std::wstring() : Self().executablePath; }
    static BOOL InstallSource(const std::wstring& log, const std::wstring& source, const std::wstring& file) {
        Self().calls.push_back("InstallEventSource");
        Self().eventSources.push_back("install " + N(log) + "|" + N(source) + "|" + N(file));
        return !Failing("InstallEventSource");
    }
    static BOOL UninstallSource(const std::wstring& log, const std::wstring& source) {
        Self().calls.push_back("UninstallEventSource");
        Self().eventSources.push_back("uninstall " + N(log) + "|" + N(source));
        return !Failing("UninstallEventSource");
    }
    static void Sleep(DWORD milliseconds) {
        Self().calls.push_back(FormatA("Sleep %lu", milliseconds));
        Self().now += milliseconds;
        SetTickCountForTests(Self().now);
    }

    static inline FakeServiceControlManager* s_current = nullptr;
    static constexpr ServiceControlManagerCalls kCalls = {
        &OpenManager, &CloseHandle,         &Lock,           &Unlock,          &TakesDescriptionAtCreation,
        &KeepsFailureActions, &Create,      &OpenService,    &Delete,          &QueryStatus,
        &Control,     &Start,               &Enum,           &QueryConfig,     &FindChangeConfig2,
        &ExecutablePath, &InstallSource,    &UninstallSource, &Sleep,
    };

    FakeServiceControlManager* m_previous;
    std::vector<std::unique_ptr<Handle>> m_handles;
};
