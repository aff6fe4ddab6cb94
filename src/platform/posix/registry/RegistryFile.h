// Where and how the POSIX registry keeps HKEY_LOCAL_MACHINE on disk: the
// file HKEY_LOCAL_MACHINE.reg in the registry folder, replaced as a whole
// under an exclusive lock on HKEY_LOCAL_MACHINE.lock.
#pragma once

#include <string>

#include "platform/Types.h"
#include "platform/posix/registry/RegistryHive.h"

namespace plat::posix {

// The registry folder as a file-system path (UTF-8).
std::string RegistryFolderPath();

// Reads the registry as it is now. A missing file is a new registry
// (RegistryHive::Fresh); a file that is not a whole registry gives
// ERROR_REGISTRY_CORRUPT (1015). Readers take no lock: a file is only ever
// replaced whole, so a reader sees the old contents or the new ones.
LONG LoadRegistryHive(RegistryHive* hive);

// Holds the exclusive lock that every change takes, from reading the file to
// replacing it, across threads and processes (flock on the lock file, which
// the system releases when a holder dies). Creates the folder when missing.
class RegistryWriteLock {
  public:
    RegistryWriteLock() = default;
    ~RegistryWriteLock();
    RegistryWriteLock(const RegistryWriteLock&) = delete;
    RegistryWriteLock& operator=(const RegistryWriteLock&) = delete;

    LONG Acquire();

  private:
    int m_fd = -1;
};

// Replaces the file with `hive` while the lock is held: the text goes to a
// temporary file, which is synced to disk and then renamed over the file. On
// failure the file is as it was.
LONG SaveRegistryHive(const RegistryHive& hive);

// Syncs the registry folder, so the last replacement survives a power loss.
LONG SyncRegistryFolder();

}  // namespace plat::posix
