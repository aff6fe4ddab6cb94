// CNTService: the parameters store below the service's "Parameters" key.
// Placeholder until the parameters store is built: every operation fails with
// ERROR_CALL_NOT_IMPLEMENTED and reads give their defaults.
#include "platform/Handles.h"
#include "platform/Win32Codes.h"
#include "service/NTService.h"

namespace {
BOOL NotYetAvailable() {
    plat::SetLastErrorCode(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
}  // namespace

BOOL CNTService::WriteParameterString(const wchar_t*, const wchar_t*, const wchar_t*) { return NotYetAvailable(); }
BOOL CNTService::WriteParameterInt(const wchar_t*, const wchar_t*, int) { return NotYetAvailable(); }
BOOL CNTService::WriteParameterStringArray(const wchar_t*, const wchar_t*, const std::vector<std::wstring>&) {
    return NotYetAvailable();
}
BOOL CNTService::WriteParameterBinary(const wchar_t*, const wchar_t*, const std::uint8_t*, UINT) {
    return NotYetAvailable();
}

std::wstring CNTService::ReadParameterString(const wchar_t*, const wchar_t*, const wchar_t* defaultValue,
                                             DWORD* error) {
    if (error) *error = ERROR_CALL_NOT_IMPLEMENTED;
    return defaultValue ? defaultValue : L"";
}

int CNTService::ReadParameterInt(const wchar_t*, const wchar_t*, int defaultValue, DWORD* error) {
    if (error) *error = ERROR_CALL_NOT_IMPLEMENTED;
    return defaultValue;
}

BOOL CNTService::ReadParameterStringArray(const wchar_t*, const wchar_t*, std::vector<std::wstring>& values) {
    values.clear();
    return NotYetAvailable();
}

BOOL CNTService::ReadParameterBinary(const wchar_t*, const wchar_t*, std::unique_ptr<std::uint8_t[]>& data,
                                     UINT& byteCount) {
    data.reset();
    byteCount = 0;
    return NotYetAvailable();
}
