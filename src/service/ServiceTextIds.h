// The ids of the service framework's texts in the program's resources: the
// string table (failure messages of the verbs) and the message table
// (events). A program maps them with MapResourceId and MapEventId.
#pragma once

#include "platform/Types.h"

namespace service_text {

// String table: install and uninstall.
constexpr UINT kInstallOpenScmFailed = 1501;
constexpr UINT kInstallLockFailed = 1502;
constexpr UINT kInstallCreateFailed = 1503;
constexpr UINT kInstallEventSourceFailed = 1504;
constexpr UINT kUninstallOpenScmFailed = 1505;
constexpr UINT kUninstallOpenServiceFailed = 1506;
constexpr UINT kUninstallWaitFailed = 1507;
constexpr UINT kUninstallDeleteFailed = 1508;
constexpr UINT kUninstallEventSourceFailed = 1509;
constexpr UINT kUninstallStopFailed = 1516;
// String table: the control verbs as the command line reports them.
constexpr UINT kStartFailedMessage = 1510;
constexpr UINT kStopFailedMessage = 1511;
constexpr UINT kContinueFailedMessage = 1512;
constexpr UINT kPauseFailedMessage = 1513;
constexpr UINT kCodeAndText = 1515;  // "%1, %2"
// String table: the steps of a control.
constexpr UINT kOpenScmFailed = 1517;
constexpr UINT kOpenServiceFailed = 1518;
constexpr UINT kStartFailed = 1519;
constexpr UINT kContinueFailed = 1520;
constexpr UINT kPauseFailed = 1521;
constexpr UINT kWaitFailed = 1523;
constexpr UINT kQueryFailed = 1524;

// Message table.
constexpr DWORD kEventInstalled = 0x40000002;
constexpr DWORD kEventStopped = 0x40000003;
constexpr DWORD kEventPaused = 0x40000004;
constexpr DWORD kEventContinued = 0x40000005;
constexpr DWORD kEventShutdown = 0x40000009;
constexpr DWORD kEventScmConnectFailed = 0xC0000006;
constexpr DWORD kEventOpenServiceFailed = 0xC0000007;
constexpr DWORD kEventDeleteFailed = 0xC0000008;
constexpr DWORD kEventStartFailed = 0xC000000A;
constexpr DWORD kEventStopFailed = 0xC000000B;
constexpr DWORD kEventContinueFailed = 0xC000000C;
constexpr DWORD kEventPauseFailed = 0xC000000D;
constexpr DWORD kEventWaitFailed = 0xC000000E;
constexpr DWORD kEventQueryFailed = 0xC000000F;

}  // namespace service_text
