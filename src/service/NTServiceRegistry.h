// The registry helpers of the service framework: the "Parameters" key of a
// service and string lists (REG_MULTI_SZ) in a key. Used by the parameters
// store of CNTService and by the event-source registration.
#pragma once

#include <string>
#include <vector>

#include "platform/Registry.h"
#include "platform/Types.h"

// Opens HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\<serviceName>\Parameters
// for reading and writing, creating the service key and "Parameters" when
// missing (also for reads). The services key is opened for reading only when
// `readOnly`. Null on failure, with the first failing status in `*error`
// (when given; 0 on success). A service name that is empty or holds "\"
// would name another key and is refused with 123 (ERROR_INVALID_NAME).
plat::RegistryKey OpenParametersKey(const std::wstring& serviceName, BOOL readOnly, DWORD* error);

// Reads the REG_MULTI_SZ value `entry` of `key` into `values` (emptied
// first): the strings up to the first empty one, never past the data, also
// when the data is empty or lacks its final NUL. FALSE with the last error set
// when the value cannot be read, and 13 (ERROR_INVALID_DATA) when it has
// another type.
BOOL ReadMultiString(plat::RegistryKey key, const wchar_t* entry, std::vector<std::wstring>& values);

// Writes `values` as the REG_MULTI_SZ value `entry`: each string and its NUL,
// then one more NUL ((Σ(length + 1) + 1) × 2 bytes; an empty list is one NUL).
// A string that is empty or holds a NUL would cut the list short for every
// reader and is refused (FALSE, last error 87, ERROR_INVALID_PARAMETER).
// FALSE with the last error set to the registry's status when the write fails.
BOOL WriteMultiString(plat::RegistryKey key, const wchar_t* entry, const std::vector<std::wstring>& values);
