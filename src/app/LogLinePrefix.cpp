// The prefix of the log's lines, kept for the second it was made for.
#include "app/LogLinePrefix.h"

#include "platform/Text.h"

const std::string& CLogLinePrefix::Now() {
    const std::int64_t second = m_clock();
    const DWORD processId = plat::CurrentProcessId();
    if (!m_bMade || second != m_second || processId != m_dwProcessId) {
        m_wide.clear();
        plat::AppendLocalDateTimeText(m_wide, second);
        m_wide += L": ";
        m_wide += std::to_wstring(processId);
        m_wide += L": ";
        m_text.clear();
        plat::AppendWideAsAnsi(m_text, m_wide);
        m_second = second;
        m_dwProcessId = processId;
        m_bMade = true;
    }
    return m_text;
}
