// An in-memory file with a read/write position: the container of replies built in memory.
#pragma once

#include <vector>

#include "platform/File.h"

class CMemFile final : public CFile {
  public:
    // Storage is allocated in multiples of `growBytes` (1024 by default),
    // growing geometrically so that many small writes stay linear in cost.
    explicit CMemFile(UINT growBytes = 1024);

    // Writes `count` bytes at the position and advances it, growing the file
    // as needed. FALSE (nothing written, ERROR_NOT_ENOUGH_MEMORY in
    // ErrorCode()) when memory runs out or the file would pass 4 GiB.
    BOOL Write(const void* buffer, UINT count);

    UINT Read(void* buffer, UINT count) override;
    ULONGLONG Seek(LONGLONG offset, UINT from) override;
    ULONGLONG GetLength() const override { return m_nLength; }
    // An in-memory file has no name.
    std::wstring GetFileName() const override { return std::wstring(); }
    // Frees the storage; the file is then empty.
    void Close() override;

    // Bytes allocated (a multiple of the growth step); for tests and diagnostics.
    std::size_t GetCapacity() const { return m_storage.size(); }

  private:
    UINT m_nGrowBytes;
    std::vector<unsigned char> m_storage;  // allocated bytes; the file is the first m_nLength
    std::size_t m_nLength = 0;
    std::size_t m_nPosition = 0;
};
