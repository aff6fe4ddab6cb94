// A reply built in memory, as a read-only file over the text it owns.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/File.h"

// Takes the finished reply text over without copying it (an in-memory file
// would copy it once more); reads hand it out from a read position.
class CReplyTextFile final : public CFile {
  public:
    explicit CReplyTextFile(std::string text) : m_strText(std::move(text)) {}

    UINT Read(void* buffer, UINT count) override {
        m_dwError = 0;
        const std::size_t left = m_nPosition < m_strText.size() ? m_strText.size() - m_nPosition : 0;
        const std::size_t taken = std::min<std::size_t>(count, left);
        if (taken > 0) std::memcpy(buffer, m_strText.data() + m_nPosition, taken);
        m_nPosition += taken;
        return static_cast<UINT>(taken);
    }
    ULONGLONG Seek(LONGLONG offset, UINT from) override {
        const LONGLONG base = from == begin ? 0
                              : from == current ? static_cast<LONGLONG>(m_nPosition)
                                                : static_cast<LONGLONG>(m_strText.size());
        if (base + offset >= 0) m_nPosition = static_cast<std::size_t>(base + offset);
        return m_nPosition;
    }
    ULONGLONG GetLength() const override { return m_strText.size(); }
    // A reply text has no name.
    std::wstring GetFileName() const override { return std::wstring(); }
    void Close() override {
        m_strText.clear();
        m_strText.shrink_to_fit();
        m_nPosition = 0;
    }

  private:
    std::string m_strText;
    std::size_t m_nPosition = 0;
};
