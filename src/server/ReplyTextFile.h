// A reply held in memory, as a read-only file over its bytes.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/File.h"

// Either owns its text (a reply built for one request, taken over without a
// copy), or shares bytes kept elsewhere (a small package's kept content,
// with the package's file name for the transfer's log line; a listing
// document that several replies send), after a text of its own (the
// reply's header). Reads hand the bytes out from a read position.
class CReplyTextFile final : public CFile {
  public:
    explicit CReplyTextFile(std::string text) : m_strText(std::move(text)) {}
    // The name is shared too: a kept package is sent without copying either.
    CReplyTextFile(std::shared_ptr<const std::string> shared, std::shared_ptr<const std::wstring> fileName)
        : m_pShared(std::move(shared)), m_pFileName(std::move(fileName)) {}
    CReplyTextFile(std::string prefix, std::shared_ptr<const std::string> shared)
        : m_strText(std::move(prefix)), m_pShared(std::move(shared)) {}

    UINT Read(void* buffer, UINT count) override {
        m_dwError = 0;
        char* out = static_cast<char*>(buffer);
        std::size_t taken = 0;
        std::size_t partStart = 0;  // where the part starts in the reply
        // The own text first, then the shared bytes.
        for (const std::string_view part : {std::string_view(m_strText), Shared()}) {
            const std::size_t at = m_nPosition + taken;
            if (taken < count && at < partStart + part.size()) {
                const std::size_t n = std::min<std::size_t>(count - taken, partStart + part.size() - at);
                std::memcpy(out + taken, part.data() + (at - partStart), n);
                taken += n;
            }
            partStart += part.size();
        }
        m_nPosition += taken;
        return static_cast<UINT>(taken);
    }
    ULONGLONG Seek(LONGLONG offset, UINT from) override {
        const LONGLONG base = from == begin ? 0
                              : from == current ? static_cast<LONGLONG>(m_nPosition)
                                                : static_cast<LONGLONG>(GetLength());
        if (base + offset >= 0) m_nPosition = static_cast<std::size_t>(base + offset);
        return m_nPosition;
    }
    ULONGLONG GetLength() const override { return m_strText.size() + Shared().size(); }
    // The reply's bytes where they lie: its own text, then the shared bytes.
    std::string_view OwnPart() const { return m_strText; }
    std::string_view SharedPart() const { return Shared(); }
    // Empty for a reply text; the package's name for kept package bytes.
    std::wstring GetFileName() const override { return m_pFileName ? *m_pFileName : std::wstring(); }
    void AppendFileName(std::wstring& out) const override {
        if (m_pFileName) out += *m_pFileName;
    }
    void Close() override {
        m_strText.clear();
        m_strText.shrink_to_fit();
        m_pShared.reset();
        m_nPosition = 0;
    }

  private:
    std::string_view Shared() const { return m_pShared ? std::string_view(*m_pShared) : std::string_view(); }

    std::string m_strText;
    std::shared_ptr<const std::string> m_pShared;
    std::shared_ptr<const std::wstring> m_pFileName;  // null: no name
    std::size_t m_nPosition = 0;
};
