// Recording substitutes of the event log and the service manager, installed
// for the life of a test through the service framework's call tables.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Handles.h"
#include "service/NTService.h"
#include "service/ServiceSystemCalls.h"

// One event as the substitute event log received it.
struct RecordedEvent {
    plat::EventSourceHandle source;
    std::uint16_t type;
    std::uint16_t category;
    DWORD id;
    std::vector<std::wstring> strings;
};

class FakeEventLog {
  public:
    FakeEventLog() {
        s_current = this;
        SetEventLogCallsForTests(&kCalls);
    }
    ~FakeEventLog() {
        SetEventLogCallsForTests(nullptr);
        s_current = nullptr;
    }

    // What happened, in order: "open <server>|<source>", "report", "close".
    std::vector<std::string> Calls() const {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::vector<RecordedEvent> Events() const {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    int MaxReportsAtOnce() const { return m_maxInside; }

    bool openFails = false;
    bool reportFails = false;
    // Runs inside each report call, outside the fake's own lock.
    std::function<void()> duringReport;

  private:
    static plat::EventSourceHandle Open(const wchar_t* server, const wchar_t* source) {
        FakeEventLog& self = *s_current;
        std::lock_guard lock(self.m_mutex);
        self.m_calls.push_back("open " + Narrow(server) + "|" + Narrow(source));
        if (self.openFails) {
            plat::SetLastErrorCode(1722);
            return nullptr;
        }
        return reinterpret_cast<plat::EventSourceHandle>(++self.m_nextHandle);
    }

    static BOOL Report(plat::EventSourceHandle source, std::uint16_t type, std::uint16_t category, DWORD id,
                       std::uint16_t count, const wchar_t* const* strings) {
        FakeEventLog& self = *s_current;
        {
            std::lock_guard lock(self.m_mutex);
            self.m_calls.push_back("report");
            RecordedEvent event{source, type, category, id, {}};
            for (std::uint16_t i = 0; i < count; ++i) event.strings.emplace_back(strings[i]);
            self.m_events.push_back(event);
            if (++self.m_inside > self.m_maxInside) self.m_maxInside = self.m_inside;
        }
        if (self.duringReport) self.duringReport();
        std::lock_guard lock(self.m_mutex);
        --self.m_inside;
        if (self.reportFails) {
            plat::SetLastErrorCode(1502);
            return FALSE;
        }
        return TRUE;
    }

    static BOOL Close(plat::EventSourceHandle) {
        FakeEventLog& self = *s_current;
        std::lock_guard lock(self.m_mutex);
        self.m_calls.push_back("close");
        plat::SetLastErrorCode(0);
        return TRUE;
    }

    static std::string Narrow(const wchar_t* text) {
        std::string out;
        for (const wchar_t* p = text; p && *p; ++p) out += static_cast<char>(*p);
        return out;
    }

    static inline FakeEventLog* s_current = nullptr;
    static constexpr EventLogCalls kCalls = {&Open, &Report, &Close};

    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::vector<RecordedEvent> m_events;
    std::uintptr_t m_nextHandle = 0x1000;
    int m_inside = 0;
    int m_maxInside = 0;
};

// A service manager that records registrations and status reports. Its
// dispatcher runs the service body on a second thread, as the platform's does.
class FakeServiceManager {
  public:
    FakeServiceManager() {
        s_current = this;
        SetServiceManagerCallsForTests(&kCalls);
    }
    ~FakeServiceManager() {
        SetServiceManagerCallsForTests(nullptr);
        s_current = nullptr;
    }

    std::vector<plat::ServiceStatusRecord> Reports() const {
        std::lock_guard lock(m_mutex);
        return m_reports;
    }
    void ClearReports() {
        std::lock_guard lock(m_mutex);
        m_reports.clear();
    }

    // Settings, before the service object is constructed where they matter.
    bool exportsExtendedRegistration = true;
    bool registrationFails = false;
    bool sendFails = false;
    BOOL dispatcherResult = TRUE;
    // Runs at the start of each status send, before it is recorded.
    std::function<void()> duringSend;
    DWORD dispatcherError = 0;

    // What the service handed over.
    std::wstring dispatchedName;
    bool tableTerminated = false;
    int dispatcherCalls = 0;
    std::wstring registeredName;
    bool registeredExtended = false;
    void* registeredContext = reinterpret_cast<void*>(1);
    plat::ServiceControlHandler plainHandler = nullptr;
    plat::ServiceControlHandlerEx extendedHandler = nullptr;

    static constexpr std::uintptr_t kStatusHandle = 0x5157;

  private:
    static void* ModuleHandle(const wchar_t*) { return &s_module; }

    static plat::RegisterServiceControlHandlerExFunction FindEx(void* module) {
        return (module == &s_module && s_current->exportsExtendedRegistration) ? &RegisterEx : nullptr;
    }

    static plat::ServiceStatusHandle Registered() {
        if (s_current->registrationFails) {
            plat::SetLastErrorCode(1083);
            return nullptr;
        }
        return reinterpret_cast<plat::ServiceStatusHandle>(kStatusHandle);
    }

    static plat::ServiceStatusHandle RegisterEx(const wchar_t* name, plat::ServiceControlHandlerEx handler,
                                                void* context) {
        s_current->registeredName = name;
        s_current->registeredExtended = true;
        s_current->registeredContext = context;
        s_current->extendedHandler = handler;
        return Registered();
    }

    static plat::ServiceStatusHandle RegisterPlain(const wchar_t* name, plat::ServiceControlHandler handler) {
        s_current->registeredName = name;
        s_current->registeredExtended = false;
        s_current->plainHandler = handler;
        return Registered();
    }

    static BOOL StartDispatcher(const plat::ServiceTableEntry* table) {
        FakeServiceManager& self = *s_current;
        ++self.dispatcherCalls;
        self.dispatchedName = table[0].serviceName;
        self.tableTerminated = table[1].serviceName == nullptr && table[1].serviceProc == nullptr;
        if (!self.dispatcherResult) {
            plat::SetLastErrorCode(self.dispatcherError);
            return FALSE;
        }
        wchar_t* argv[] = {table[0].serviceName, nullptr};
        const plat::ServiceMainFunction proc = table[0].serviceProc;
        std::thread serviceThread([&] { proc(1, argv); });
        serviceThread.join();
        return TRUE;
    }

    static BOOL SendStatus(plat::ServiceStatusHandle handle, const plat::ServiceStatusRecord& status) {
        FakeServiceManager& self = *s_current;
        if (handle != reinterpret_cast<plat::ServiceStatusHandle>(kStatusHandle)) {
            plat::SetLastErrorCode(6);
            return FALSE;
        }
        if (self.duringSend) self.duringSend();
        std::lock_guard lock(self.m_mutex);
        self.m_reports.push_back(status);
        if (self.sendFails) {
            plat::SetLastErrorCode(6);
            return FALSE;
        }
        return TRUE;
    }

    static inline FakeServiceManager* s_current = nullptr;
    static inline int s_module = 0;
    static constexpr ServiceManagerCalls kCalls = {&ModuleHandle, &FindEx, &RegisterPlain, &StartDispatcher,
                                                   &SendStatus};

    mutable std::mutex m_mutex;
    std::vector<plat::ServiceStatusRecord> m_reports;
};

namespace plat {

inline bool operator==(const ServiceStatusRecord& a, const ServiceStatusRecord& b) {
    return a.serviceType == b.serviceType && a.currentState == b.currentState &&
           a.controlsAccepted == b.controlsAccepted && a.win32ExitCode == b.win32ExitCode &&
           a.serviceSpecificExitCode == b.serviceSpecificExitCode && a.checkPoint == b.checkPoint &&
           a.waitHint == b.waitHint;
}

inline void PrintTo(const ServiceStatusRecord& r, std::ostream* out) {
    *out << "{type " << r.serviceType << ", state " << r.currentState << ", controls " << r.controlsAccepted
         << ", exit " << r.win32ExitCode << "/" << r.serviceSpecificExitCode << ", checkpoint " << r.checkPoint
         << ", wait hint " << r.waitHint << "}";
}

}  // namespace plat

// A service whose fields and hooks the tests can reach.
class ProbeService : public CNTService {
  public:
    explicit ProbeService(const wchar_t* name = L"ProbeService", const wchar_t* display = L"Probe Service",
                          const wchar_t* description = L"A service for tests")
        : CNTService(name, display, description) {}

    using CNTService::m_bEventLogEnabled;
    using CNTService::m_dwCheckPoint;
    using CNTService::m_dwControlsAccepted;
    using CNTService::m_dwCurrentState;
    using CNTService::m_dwRefusedControl;
    using CNTService::m_dwServiceType;
    using CNTService::m_dwWaitHint;
    using CNTService::m_hStatus;

    // The control virtuals called, in order, with their arguments.
    std::vector<std::string> calls;
    std::function<void(DWORD, wchar_t**)> body;
    // Runs at the start of ReportStatus (read by the calling thread only when set).
    std::function<void()> beforeReportStatus;

    BOOL ReportStatus(DWORD state, DWORD checkPoint = kKeep, DWORD waitHint = kKeep,
                      DWORD controlsAccepted = kKeep) override {
        if (std::function<void()> hook = beforeReportStatus) hook();
        return CNTService::ReportStatus(state, checkPoint, waitHint, controlsAccepted);
    }

    void ServiceMain(DWORD argc, wchar_t** argv) override {
        calls.push_back("ServiceMain");
        if (body) body(argc, argv);
    }
    void OnStop() override {
        Record("OnStop");
        CNTService::OnStop();
    }
    void OnPause() override {
        Record("OnPause");
        CNTService::OnPause();
    }
    void OnContinue() override {
        Record("OnContinue");
        CNTService::OnContinue();
    }
    void OnInterrogate() override {
        Record("OnInterrogate");
        CNTService::OnInterrogate();
    }
    void OnShutdown() override {
        Record("OnShutdown");
        CNTService::OnShutdown();
    }
    void OnParamChange() override { Record("OnParamChange"); }
    void OnNetBindAdd() override { Record("OnNetBindAdd"); }
    void OnNetBindRemove() override { Record("OnNetBindRemove"); }
    void OnNetBindEnable() override { Record("OnNetBindEnable"); }
    void OnNetBindDisable() override { Record("OnNetBindDisable"); }
    DWORD OnDeviceEvent(DWORD type, void* data) override { return RecordEvent("OnDeviceEvent", type, data, 1011); }
    DWORD OnHardwareProfileChange(DWORD type, void* data) override {
        return RecordEvent("OnHardwareProfileChange", type, data, 1012);
    }
    DWORD OnPowerEvent(DWORD type, void* data) override { return RecordEvent("OnPowerEvent", type, data, 1013); }
    void OnUserDefinedRequest(DWORD control) override { Record("OnUserDefinedRequest " + std::to_string(control)); }

  private:
    void Record(const std::string& call) { calls.push_back(call); }
    DWORD RecordEvent(const std::string& name, DWORD type, void* data, DWORD result) {
        calls.push_back(name + " " + std::to_string(type) + (data ? " data" : " null"));
        return result;
    }
};
