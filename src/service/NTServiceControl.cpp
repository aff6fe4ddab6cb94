// CNTService: bringing the installed service into another state.
// Placeholder until that is built: fails with ERROR_CALL_NOT_IMPLEMENTED.
#include "platform/Handles.h"
#include "platform/Win32Codes.h"
#include "service/NTService.h"

BOOL CNTService::SetServiceToStatus(DWORD, DWORD* error, DWORD, DWORD) {
    if (error) *error = ERROR_CALL_NOT_IMPLEMENTED;
    plat::SetLastErrorCode(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
