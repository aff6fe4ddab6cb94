// In-memory file: platform-independent code only.
#include "platform/MemFile.h"

#include <cstring>
#include <limits>
#include <new>

#include "platform/Win32Codes.h"

CMemFile::CMemFile(UINT growBytes) : m_nGrowBytes(growBytes == 0 ? 1024 : growBytes) {}

BOOL CMemFile::Write(const void* buffer, UINT count) {
    if (count == 0) return TRUE;
    const std::size_t end = m_nPosition + count;
    if (end > std::numeric_limits<std::uint32_t>::max()) {
        m_dwError = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    if (end > m_storage.size()) {
        std::size_t capacity = m_storage.size() + m_storage.size() / 2;
        if (capacity < end) capacity = end;
        capacity = (capacity + m_nGrowBytes - 1) / m_nGrowBytes * m_nGrowBytes;
        try {
            m_storage.resize(capacity);
        } catch (const std::bad_alloc&) {
            m_dwError = ERROR_NOT_ENOUGH_MEMORY;
            return FALSE;
        }
    }
    // A position past the end leaves a gap of zero bytes, which resize provided.
    std::memcpy(m_storage.data() + m_nPosition, buffer, count);
    m_nPosition = end;
    if (end > m_nLength) m_nLength = end;
    return TRUE;
}

UINT CMemFile::Read(void* buffer, UINT count) {
    m_dwError = 0;
    if (m_nPosition >= m_nLength || count == 0) return 0;
    std::size_t available = m_nLength - m_nPosition;
    const UINT taken = available < count ? static_cast<UINT>(available) : count;
    std::memcpy(buffer, m_storage.data() + m_nPosition, taken);
    m_nPosition += taken;
    return taken;
}

ULONGLONG CMemFile::Seek(LONGLONG offset, UINT from) {
    const LONGLONG base = from == begin ? 0 : from == current ? static_cast<LONGLONG>(m_nPosition)
                                                              : static_cast<LONGLONG>(m_nLength);
    const LONGLONG target = base + offset;
    if (target >= 0 && target <= static_cast<LONGLONG>(std::numeric_limits<std::uint32_t>::max()))
        m_nPosition = static_cast<std::size_t>(target);
    return m_nPosition;
}

void CMemFile::Close() {
    std::vector<unsigned char>().swap(m_storage);
    m_nLength = 0;
    m_nPosition = 0;
}
