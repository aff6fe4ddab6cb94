// Event-source registration: the source's key below its event log's key in
// the registry, and the log's "Sources" list.
#include <algorithm>

#include "platform/Handles.h"
#include "platform/RegistryCodes.h"
#include "platform/Win32Codes.h"
#include "service/NTService.h"
#include "service/NTServiceRegistry.h"

namespace {

constexpr const wchar_t* kEventLogKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\";
constexpr DWORD kTypesSupported = 7;  // error, warning and information

// A log or source name that is empty or holds "\" would name another key
// (the event-log key itself, or a key further down).
bool IsKeyName(const std::wstring& name) { return !name.empty() && name.find(L'\\') == std::wstring::npos; }

}  // namespace

BOOL InstallEventSource(const std::wstring& logName, const std::wstring& sourceName, const std::wstring& messageFile) {
    if (!IsKeyName(logName) || !IsKeyName(sourceName)) {
        plat::SetLastErrorCode(ERROR_INVALID_NAME);
        return FALSE;
    }
    plat::RegistryKeyOwner logKey;
    LONG status = plat::RegistryOpenKey(plat::LocalMachineKey(), (kEventLogKey + logName).c_str(),
                                        KEY_READ | KEY_WRITE, logKey.Receive());
    if (status != ERROR_SUCCESS) {
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    {
        plat::RegistryKeyOwner sourceKey;
        status = plat::RegistryCreateKey(logKey.Get(), sourceName.c_str(), KEY_READ | KEY_WRITE, sourceKey.Receive());
        if (status != ERROR_SUCCESS) {
            plat::SetLastErrorCode(static_cast<DWORD>(status));
            return FALSE;
        }
        std::vector<std::uint8_t> file = plat::RegistryStringBytes(messageFile);
        file.push_back(0);
        file.push_back(0);
        status = plat::RegistrySetValue(sourceKey.Get(), L"EventMessageFile", REG_SZ, file.data(),
                                        static_cast<DWORD>(file.size()));
        if (status == ERROR_SUCCESS) {
            const std::uint8_t types[4] = {kTypesSupported, 0, 0, 0};
            status = plat::RegistrySetValue(sourceKey.Get(), L"TypesSupported", REG_DWORD, types, sizeof types);
        }
    }

    // The log's list of sources names each source once; a log without the
    // list is left as it is.
    std::vector<std::wstring> sources;
    if (ReadMultiString(logKey.Get(), L"Sources", sources) &&
        std::find(sources.begin(), sources.end(), sourceName) == sources.end()) {
        sources.push_back(sourceName);
        WriteMultiString(logKey.Get(), L"Sources", sources);
    }

    if (status != ERROR_SUCCESS) {
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    return TRUE;
}

BOOL UninstallEventSource(const std::wstring& logName, const std::wstring& sourceName) {
    if (!IsKeyName(logName) || !IsKeyName(sourceName)) {
        plat::SetLastErrorCode(ERROR_INVALID_NAME);
        return FALSE;
    }
    const LONG status =
        plat::RegistryDeleteKey(plat::LocalMachineKey(), (kEventLogKey + logName + L"\\" + sourceName).c_str());
    if (status != ERROR_SUCCESS) {
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    plat::RegistryKeyOwner logKey;
    if (plat::RegistryOpenKey(plat::LocalMachineKey(), (kEventLogKey + logName).c_str(), KEY_READ | KEY_WRITE,
                              logKey.Receive()) != ERROR_SUCCESS)
        return TRUE;
    std::vector<std::wstring> sources;
    if (ReadMultiString(logKey.Get(), L"Sources", sources)) {
        const auto found = std::find(sources.begin(), sources.end(), sourceName);
        if (found != sources.end()) {
            sources.erase(found);
            WriteMultiString(logKey.Get(), L"Sources", sources);
        }
    }
    return TRUE;
}
