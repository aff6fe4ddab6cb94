// The error types a message handler may throw beyond the standard ones: a
// COM-style error (result code, source, description) and the exception base
// that is thrown by pointer and released with Delete().
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Types.h"

// A failure with a 32-bit result code (an HRESULT) and, when the failure
// carries error information, its source and description.
class CComError {
  public:
    explicit CComError(std::int32_t resultCode);
    CComError(std::int32_t resultCode, std::wstring source, std::wstring description);

    std::int32_t Error() const { return m_hrResult; }
    // Null when the error carries no error information.
    const wchar_t* Source() const { return m_strSource ? m_strSource->c_str() : nullptr; }
    const wchar_t* Description() const { return m_strDescription ? m_strDescription->c_str() : nullptr; }

  private:
    std::int32_t m_hrResult;
    std::optional<std::wstring> m_strSource;
    std::optional<std::wstring> m_strDescription;
};

// Base of exceptions thrown by pointer (`throw new CSomeException(...)`); the
// catcher reads the message and releases the object with Delete().
class CException {
  public:
    CException() = default;
    CException(const CException&) = delete;
    CException& operator=(const CException&) = delete;

    // Writes the message into `buffer` (at most `maxChars` characters with the
    // terminator, cut when longer). FALSE, with an empty text, when the
    // exception has no message.
    virtual BOOL GetErrorMessage(wchar_t* buffer, UINT maxChars, UINT* helpContext = nullptr) const;

    // Releases the exception object.
    void Delete() { delete this; }

  protected:
    virtual ~CException() = default;

    // Copies `text` into a caller's buffer as GetErrorMessage promises.
    static BOOL CopyMessage(const std::wstring& text, wchar_t* buffer, UINT maxChars);
};

// An exception with a fixed message text.
class CSimpleException : public CException {
  public:
    explicit CSimpleException(std::wstring message) : m_strMessage(std::move(message)) {}
    BOOL GetErrorMessage(wchar_t* buffer, UINT maxChars, UINT* helpContext = nullptr) const override;

  protected:
    ~CSimpleException() override = default;

  private:
    std::wstring m_strMessage;
};
