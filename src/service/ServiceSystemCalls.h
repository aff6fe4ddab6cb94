// The platform operations of the service framework, gathered in two tables so
// that tests can run the framework against substitutes of the event log and
// the service manager. Everything else in the framework is plain data and
// control flow.
#pragma once

#include <cstdint>

#include "platform/EventLog.h"
#include "platform/ServiceDispatch.h"

struct EventLogCalls {
    plat::EventSourceHandle (*open)(const wchar_t* serverName, const wchar_t* sourceName);
    BOOL (*report)(plat::EventSourceHandle source, std::uint16_t type, std::uint16_t category, DWORD eventId,
                   std::uint16_t stringCount, const wchar_t* const* strings);
    BOOL (*close)(plat::EventSourceHandle source);
};

struct ServiceManagerCalls {
    void* (*moduleHandle)(const wchar_t* moduleName);
    plat::RegisterServiceControlHandlerExFunction (*findRegisterHandlerEx)(void* module);
    plat::ServiceStatusHandle (*registerHandler)(const wchar_t* serviceName, plat::ServiceControlHandler handler);
    BOOL (*startDispatcher)(const plat::ServiceTableEntry* table);
    BOOL (*sendStatus)(plat::ServiceStatusHandle handle, const plat::ServiceStatusRecord& status);
};

// The tables in use: the platform's own unless a test has set substitutes.
const EventLogCalls& CurrentEventLogCalls();
const ServiceManagerCalls& CurrentServiceManagerCalls();

// Tests only: installs substitutes (null: the platform's own again). The table
// must outlive its use.
void SetEventLogCallsForTests(const EventLogCalls* calls);
void SetServiceManagerCallsForTests(const ServiceManagerCalls* calls);
