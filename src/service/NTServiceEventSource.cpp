// Event-source registration in the registry (placeholder: fails with
// ERROR_CALL_NOT_IMPLEMENTED until the registry layer is in).
#include "platform/Handles.h"
#include "platform/Win32Codes.h"
#include "service/NTService.h"

BOOL InstallEventSource(const std::wstring&, const std::wstring&, const std::wstring&) {
    plat::SetLastErrorCode(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL UninstallEventSource(const std::wstring&, const std::wstring&) {
    plat::SetLastErrorCode(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
