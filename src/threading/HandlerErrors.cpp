// The error types a message handler may throw beyond the standard ones.
#include "threading/HandlerErrors.h"

#include <algorithm>

CComError::CComError(std::int32_t resultCode) : m_hrResult(resultCode) {}

CComError::CComError(std::int32_t resultCode, std::wstring source, std::wstring description)
    : m_hrResult(resultCode), m_strSource(std::move(source)), m_strDescription(std::move(description)) {}

BOOL CException::CopyMessage(const std::wstring& text, wchar_t* buffer, UINT maxChars) {
    if (buffer == nullptr || maxChars == 0) return FALSE;
    const std::size_t count = std::min<std::size_t>(text.size(), maxChars - 1);
    std::copy_n(text.data(), count, buffer);
    buffer[count] = L'\0';
    return text.empty() ? FALSE : TRUE;
}

BOOL CException::GetErrorMessage(wchar_t* buffer, UINT maxChars, UINT* helpContext) const {
    if (helpContext) *helpContext = 0;
    return CopyMessage(std::wstring(), buffer, maxChars);
}

BOOL CSimpleException::GetErrorMessage(wchar_t* buffer, UINT maxChars, UINT* helpContext) const {
    if (helpContext) *helpContext = 0;
    return CopyMessage(m_strMessage, buffer, maxChars);
}
