// The log's date and time text, kept for the second it was made for.
#include "app/LogTimeText.h"

#include "platform/Text.h"

const std::string& CLogTimeText::Now() {
    const std::int64_t second = m_clock();
    if (!m_bMade || second != m_second) {
        m_wide.clear();
        plat::AppendLocalDateTimeText(m_wide, second);
        m_text.clear();
        plat::AppendWideAsAnsi(m_text, m_wide);
        m_second = second;
        m_bMade = true;
    }
    return m_text;
}
