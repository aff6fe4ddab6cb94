// CNTService: the parameters store below the service's "Parameters" key
// (a section is a sub-key, an entry a value in it), and the registry helpers
// it shares with the event-source registration.
#include <cstring>

#include "platform/Handles.h"
#include "platform/RegistryCodes.h"
#include "platform/Win32Codes.h"
#include "service/NTService.h"
#include "service/NTServiceRegistry.h"

namespace {

constexpr const wchar_t* kServicesKey = L"SYSTEM\\CurrentControlSet\\Services";
constexpr const wchar_t* kParametersKey = L"Parameters";

using plat::RegistryKeyOwner;

// The string's data as the registry keeps a REG_SZ: UTF-16LE with its NUL.
std::vector<std::uint8_t> StringValueBytes(const wchar_t* text) {
    std::vector<std::uint8_t> bytes = plat::RegistryStringBytes(text);
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

// The section key below the service's "Parameters" key, created when
// missing; null on failure with the status in `*status`. The status of the
// "Parameters" key's opening goes to `*status` too.
plat::RegistryKey OpenSection(const std::wstring& serviceName, const wchar_t* section, BOOL readOnly, LONG* status) {
    DWORD error = 0;
    RegistryKeyOwner parameters(OpenParametersKey(serviceName, readOnly, &error));
    if (parameters.Get() == nullptr) {
        *status = static_cast<LONG>(error);
        return nullptr;
    }
    if (section == nullptr) {
        *status = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    plat::RegistryKey key = nullptr;
    *status = plat::RegistryCreateKey(parameters.Get(), section, readOnly ? KEY_READ : KEY_READ | KEY_WRITE, &key);
    return key;
}

}  // namespace

plat::RegistryKey OpenParametersKey(const std::wstring& serviceName, BOOL readOnly, DWORD* error) {
    if (error) *error = 0;
    LONG status = ERROR_SUCCESS;
    RegistryKeyOwner services, service, parameters;
    if (serviceName.empty() || serviceName.find(L'\\') != std::wstring::npos) status = ERROR_INVALID_NAME;
    if (status == ERROR_SUCCESS)
        status = plat::RegistryOpenKey(plat::LocalMachineKey(), kServicesKey, readOnly ? KEY_READ : KEY_READ | KEY_WRITE,
                                       services.Receive());
    if (status == ERROR_SUCCESS)
        status = plat::RegistryCreateKey(services.Get(), serviceName.c_str(), KEY_READ | KEY_WRITE, service.Receive());
    if (status == ERROR_SUCCESS)
        status = plat::RegistryCreateKey(service.Get(), kParametersKey, KEY_READ | KEY_WRITE, parameters.Receive());
    if (status != ERROR_SUCCESS && error) *error = static_cast<DWORD>(status);
    return parameters.Release();
}

BOOL ReadMultiString(plat::RegistryKey key, const wchar_t* entry, std::vector<std::wstring>& values) {
    values.clear();
    DWORD type = 0;
    DWORD size = 0;
    LONG status = plat::RegistryQueryValue(key, entry, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    if (type != REG_MULTI_SZ) {
        plat::SetLastErrorCode(ERROR_INVALID_DATA);
        return FALSE;
    }
    std::vector<std::uint8_t> data(size);
    status = plat::RegistryQueryValue(key, entry, &type, data.data(), &size);
    if (status != ERROR_SUCCESS) {
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    if (type != REG_MULTI_SZ) {  // replaced between the two reads
        plat::SetLastErrorCode(ERROR_INVALID_DATA);
        return FALSE;
    }
    // The strings end at the first empty one or where the data ends, with or
    // without a final NUL.
    const std::wstring all = plat::RegistryStringFromBytes(data.data(), size);
    std::size_t start = 0;
    while (start < all.size() && all[start] != L'\0') {
        std::size_t end = all.find(L'\0', start);
        if (end == std::wstring::npos) end = all.size();
        values.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return TRUE;
}

BOOL WriteMultiString(plat::RegistryKey key, const wchar_t* entry, const std::vector<std::wstring>& values) {
    std::vector<std::uint8_t> data;
    for (const std::wstring& value : values) {
        if (value.empty() || value.find(L'\0') != std::wstring::npos) {
            plat::SetLastErrorCode(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const std::vector<std::uint8_t> bytes = plat::RegistryStringBytes(value);
        data.insert(data.end(), bytes.begin(), bytes.end());
        data.push_back(0);
        data.push_back(0);
    }
    data.push_back(0);
    data.push_back(0);
    const LONG status =
        plat::RegistrySetValue(key, entry, REG_MULTI_SZ, data.data(), static_cast<DWORD>(data.size()));
    if (status != ERROR_SUCCESS) {
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    return TRUE;
}

BOOL CNTService::WriteParameterString(const wchar_t* section, const wchar_t* entry, const wchar_t* value) {
    if (entry == nullptr) {
        // No entry: the whole section goes.
        RegistryKeyOwner parameters(OpenParametersKey(m_strServiceName, FALSE, nullptr));
        if (parameters.Get() == nullptr) return FALSE;
        // An empty section would name the "Parameters" key itself.
        if (section == nullptr || section[0] == L'\0') {
            plat::SetLastErrorCode(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const LONG status = plat::RegistryDeleteKey(parameters.Get(), section);
        if (m_bFlushRegistry) plat::RegistryFlushKey(parameters.Get());
        if (status != ERROR_SUCCESS) plat::SetLastErrorCode(static_cast<DWORD>(status));
        return status == ERROR_SUCCESS;
    }
    LONG status = ERROR_SUCCESS;
    RegistryKeyOwner key(OpenSection(m_strServiceName, section, FALSE, &status));
    if (key.Get() == nullptr) {
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    if (value == nullptr) {
        status = plat::RegistryDeleteValue(key.Get(), entry);
    } else {
        const std::vector<std::uint8_t> bytes = StringValueBytes(value);
        status = plat::RegistrySetValue(key.Get(), entry, REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    if (m_bFlushRegistry) plat::RegistryFlushKey(key.Get());
    if (status != ERROR_SUCCESS) plat::SetLastErrorCode(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

BOOL CNTService::WriteParameterInt(const wchar_t* section, const wchar_t* entry, int value) {
    LONG status = ERROR_SUCCESS;
    RegistryKeyOwner key(OpenSection(m_strServiceName, section, FALSE, &status));
    if (key.Get() == nullptr) {
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    const auto bits = static_cast<std::uint32_t>(value);
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                                   static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
    status = plat::RegistrySetValue(key.Get(), entry, REG_DWORD, bytes, sizeof bytes);
    if (m_bFlushRegistry) plat::RegistryFlushKey(key.Get());
    if (status != ERROR_SUCCESS) plat::SetLastErrorCode(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

BOOL CNTService::WriteParameterStringArray(const wchar_t* section, const wchar_t* entry,
                                           const std::vector<std::wstring>& values) {
    LONG status = ERROR_SUCCESS;
    RegistryKeyOwner key(OpenSection(m_strServiceName, section, FALSE, &status));
    if (key.Get() == nullptr) {
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    const BOOL written = WriteMultiString(key.Get(), entry, values);
    const DWORD error = plat::LastError();
    if (m_bFlushRegistry) plat::RegistryFlushKey(key.Get());
    if (!written) plat::SetLastErrorCode(error);
    return written;
}

BOOL CNTService::WriteParameterBinary(const wchar_t* section, const wchar_t* entry, const std::uint8_t* data,
                                      UINT byteCount) {
    LONG status = ERROR_SUCCESS;
    RegistryKeyOwner key(OpenSection(m_strServiceName, section, FALSE, &status));
    if (key.Get() == nullptr) {
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    status = plat::RegistrySetValue(key.Get(), entry, REG_BINARY, data, byteCount);
    if (m_bFlushRegistry) plat::RegistryFlushKey(key.Get());
    if (status != ERROR_SUCCESS) plat::SetLastErrorCode(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

std::wstring CNTService::ReadParameterString(const wchar_t* section, const wchar_t* entry,
                                             const wchar_t* defaultValue, DWORD* error) {
    const std::wstring fallback = defaultValue ? defaultValue : L"";
    LONG status = ERROR_SUCCESS;
    RegistryKeyOwner key(OpenSection(m_strServiceName, section, TRUE, &status));
    if (error) *error = static_cast<DWORD>(status);
    if (key.Get() == nullptr) return fallback;

    DWORD type = 0;
    DWORD size = 0;
    status = plat::RegistryQueryValue(key.Get(), entry, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        if (error) *error = static_cast<DWORD>(status);
        return fallback;
    }
    std::vector<std::uint8_t> data(size);
    status = plat::RegistryQueryValue(key.Get(), entry, &type, data.data(), &size);
    if (status != ERROR_SUCCESS) {
        if (error) *error = static_cast<DWORD>(status);
        return fallback;
    }
    // Any type is taken as text; the text ends at its first NUL or with the data.
    std::wstring text = plat::RegistryStringFromBytes(data.data(), size);
    const std::size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    return text;
}

int CNTService::ReadParameterInt(const wchar_t* section, const wchar_t* entry, int defaultValue, DWORD* error) {
    LONG status = ERROR_SUCCESS;
    RegistryKeyOwner key(OpenSection(m_strServiceName, section, TRUE, &status));
    if (error) *error = static_cast<DWORD>(status);
    if (key.Get() == nullptr) return defaultValue;

    // At most 4 bytes of any type; fewer fill the low bytes of the integer.
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    DWORD type = 0;
    DWORD size = sizeof bytes;
    status = plat::RegistryQueryValue(key.Get(), entry, &type, bytes, &size);
    if (status != ERROR_SUCCESS) {
        if (error) *error = static_cast<DWORD>(status);
        return defaultValue;
    }
    const std::uint32_t bits = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
    return static_cast<int>(bits);
}

BOOL CNTService::ReadParameterStringArray(const wchar_t* section, const wchar_t* entry,
                                          std::vector<std::wstring>& values) {
    values.clear();
    LONG status = ERROR_SUCCESS;
    RegistryKeyOwner key(OpenSection(m_strServiceName, section, TRUE, &status));
    if (key.Get() == nullptr) {
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    return ReadMultiString(key.Get(), entry, values);
}

BOOL CNTService::ReadParameterBinary(const wchar_t* section, const wchar_t* entry,
                                     std::unique_ptr<std::uint8_t[]>& data, UINT& byteCount) {
    data.reset();
    byteCount = 0;
    LONG status = ERROR_SUCCESS;
    RegistryKeyOwner key(OpenSection(m_strServiceName, section, TRUE, &status));
    if (key.Get() == nullptr) {
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    DWORD type = 0;
    DWORD size = 0;
    status = plat::RegistryQueryValue(key.Get(), entry, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    byteCount = size;
    data = std::make_unique<std::uint8_t[]>(size);
    status = plat::RegistryQueryValue(key.Get(), entry, &type, data.get(), &size);
    if (status != ERROR_SUCCESS) {
        data.reset();
        plat::SetLastErrorCode(static_cast<DWORD>(status));
        return FALSE;
    }
    byteCount = size;
    return TRUE;
}
