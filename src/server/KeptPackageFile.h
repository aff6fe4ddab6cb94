// A package's bytes kept in memory, read like the package file itself.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "platform/File.h"
#include "platform/Win32Codes.h"

// Shares the bytes with the cache (no copy per request) and carries the
// package's file name for the transfer's log line.
class CKeptPackageFile final : public CFile {
  public:
    CKeptPackageFile(std::shared_ptr<const std::string> bytes, std::wstring fileName)
        : m_pBytes(std::move(bytes)), m_strFileName(std::move(fileName)) {}

    UINT Read(void* buffer, UINT count) override {
        m_dwError = 0;
        if (!m_pBytes) {
            m_dwError = ERROR_INVALID_HANDLE;
            return 0;
        }
        const std::size_t size = m_pBytes->size();
        const std::size_t taken = std::min<std::size_t>(count, m_nPosition < size ? size - m_nPosition : 0);
        if (taken > 0) std::memcpy(buffer, m_pBytes->data() + m_nPosition, taken);
        m_nPosition += taken;
        return static_cast<UINT>(taken);
    }
    ULONGLONG Seek(LONGLONG offset, UINT from) override {
        const LONGLONG base = from == begin ? 0 : from == current ? static_cast<LONGLONG>(m_nPosition)
                                                                  : static_cast<LONGLONG>(GetLength());
        if (base + offset >= 0) m_nPosition = static_cast<std::size_t>(base + offset);
        return m_nPosition;
    }
    ULONGLONG GetLength() const override { return m_pBytes ? m_pBytes->size() : 0; }
    std::wstring GetFileName() const override { return m_strFileName; }
    void Close() override { m_pBytes.reset(); }

  private:
    std::shared_ptr<const std::string> m_pBytes;
    std::wstring m_strFileName;
    std::size_t m_nPosition = 0;
};
