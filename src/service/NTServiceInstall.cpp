// CNTService: install, uninstall and the list of installed instances.
// Placeholder until install and uninstall are built: each fails with
// ERROR_CALL_NOT_IMPLEMENTED.
#include "platform/Handles.h"
#include "platform/Win32Codes.h"
#include "service/NTService.h"

BOOL CNTService::Install(std::wstring& message, DWORD* error) {
    message.clear();
    if (error) *error = ERROR_CALL_NOT_IMPLEMENTED;
    plat::SetLastErrorCode(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CNTService::Uninstall(std::wstring& message, DWORD* error, DWORD) {
    message.clear();
    if (error) *error = ERROR_CALL_NOT_IMPLEMENTED;
    plat::SetLastErrorCode(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL CNTService::EnumerateInstalledServices(std::vector<std::wstring>& names, DWORD* error) {
    names.clear();
    if (error) *error = ERROR_CALL_NOT_IMPLEMENTED;
    plat::SetLastErrorCode(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

std::vector<wchar_t> CNTService::BuildDependencyList() {
    std::vector<wchar_t> list;
    for (const std::wstring& name : m_arrDependencies) {
        list.insert(list.end(), name.begin(), name.end());
        list.push_back(L'\0');
    }
    list.push_back(L'\0');
    return list;
}
