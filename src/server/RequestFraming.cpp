// Request framing: heads found by their empty line, bodies skipped by their declared length.
#include "server/RequestFraming.h"

#include <cstring>

namespace {

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool AsciiEqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// A length made of decimal digits only, small enough to count.
bool ReadDecimalLength(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 18) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

// A comma-separated list of tokens holds `token` (blanks around items do not count).
bool ListHoldsToken(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        if (AsciiEqualsNoCase(TrimBlanks(list.substr(0, comma)), token)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace

HeaderFields ReadHeaderFields(std::string_view head) {
    HeaderFields fields;
    bool lengthDeclared = false;
    std::size_t rangeLines = 0;
    std::string_view rangeValue;
    std::size_t lineStart = head.find('\n');  // the request line itself declares nothing
    while (lineStart != std::string_view::npos && lineStart + 1 < head.size()) {
        const std::size_t start = lineStart + 1;
        const std::size_t end = head.find('\n', start);
        const std::string_view line = head.substr(start, end == std::string_view::npos ? end : end - start);
        lineStart = end;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = TrimBlanks(line.substr(colon + 1));
        if (AsciiEqualsNoCase(name, "transfer-encoding")) {
            fields.bodyLengthKnown = false;
        } else if (AsciiEqualsNoCase(name, "content-length")) {
            std::uint64_t length = 0;
            // Two lengths that disagree leave the body's end unknown, as an unreadable one does.
            if (!ReadDecimalLength(value, length) || (lengthDeclared && length != fields.bodyLength)) {
                fields.bodyLengthKnown = false;
            } else {
                fields.bodyLength = length;
                lengthDeclared = true;
            }
        } else if (AsciiEqualsNoCase(name, "range")) {
            ++rangeLines;
            rangeValue = value;
        } else if (AsciiEqualsNoCase(name, "if-range")) {
            fields.rangeFields.hasIfRange = true;
        } else if (AsciiEqualsNoCase(name, "connection")) {
            if (ListHoldsToken(value, "close")) fields.connectionClose = true;
        }
    }
    if (!fields.bodyLengthKnown) fields.bodyLength = 0;
    // Several Range lines cannot be told apart from a list: the whole file.
    if (rangeLines == 1) fields.rangeFields.range = ParseByteRangeField(rangeValue);
    return fields;
}

void CRequestFramer::Receive(std::string_view bytes) {
    if (m_bEnded) return;
    if (m_nBodyLeft > 0) {
        // Body bytes owed are only ever the next bytes of the stream.
        const std::size_t skipped = bytes.size() < m_nBodyLeft ? bytes.size() : static_cast<std::size_t>(m_nBodyLeft);
        bytes.remove_prefix(skipped);
        m_nBodyLeft -= skipped;
    }
    if (!bytes.empty()) m_strInput.append(bytes.data(), bytes.size());
}

CRequestFramer::Step CRequestFramer::Next(RequestHead& head) {
    if (m_bEnded) return Step::NeedMore;
    // Blank lines before a request line do not count.
    std::size_t skipped = 0;
    while (m_nStart + skipped < m_strInput.size() && IsLineBreak(m_strInput[m_nStart + skipped])) ++skipped;
    if (skipped > 0) Consume(skipped);

    // The head ends at its first empty line: a line break followed by LF or CR LF.
    const char* const input = m_strInput.data();
    const std::size_t size = m_strInput.size();
    std::size_t at = m_nScanned > m_nStart ? m_nScanned : m_nStart;
    std::size_t end = 0;
    while (at < size) {
        const void* found = std::memchr(input + at, '\n', size - at);
        if (found == nullptr) {
            at = size;
            break;
        }
        const std::size_t lf = static_cast<std::size_t>(static_cast<const char*>(found) - input);
        if (lf + 1 < size && input[lf + 1] == '\n') {
            end = lf + 2;
        } else if (lf + 2 < size && input[lf + 1] == '\r' && input[lf + 2] == '\n') {
            end = lf + 3;
        } else if (lf + 1 == size || (lf + 2 == size && input[lf + 1] == '\r')) {
            at = lf;  // what follows the line break has not arrived yet: look again from here
            break;
        }
        if (end != 0) break;
        at = lf + 1;
    }
    m_nScanned = at;

    const std::size_t length = end != 0 ? end - m_nStart : BufferedBytes();
    if (length > kMaxHeadBytes) {
        head = RequestHead{};
        head.hasWords = ParseRequestLine(std::string_view(input + m_nStart, kMaxHeadBytes), head.line);
        head.closeAfterReply = true;
        m_bEnded = true;
        m_nBodyLeft = 0;
        std::string().swap(m_strInput);
        m_nStart = m_nScanned = 0;
        return Step::HeadTooLarge;
    }
    if (end == 0) return Step::NeedMore;
    ReadHead(length, head);
    if (m_bEnded) {
        std::string().swap(m_strInput);
        m_nStart = m_nScanned = 0;
        return Step::Head;
    }
    Consume(length);
    SkipOwedBody();
    return Step::Head;
}

bool CRequestFramer::TakeUnfinishedHead(RequestHead& head) {
    if (m_bEnded) return false;
    std::size_t skipped = 0;
    while (m_nStart + skipped < m_strInput.size() && IsLineBreak(m_strInput[m_nStart + skipped])) ++skipped;
    if (skipped > 0) Consume(skipped);
    if (BufferedBytes() == 0) return false;
    const std::size_t length = BufferedBytes();
    ReadHead(length, head);
    Consume(length);
    m_nBodyLeft = 0;  // nothing can follow the end of the data
    return true;
}

void CRequestFramer::ReadHead(std::size_t length, RequestHead& head) {
    head = RequestHead{};
    const std::string_view text(m_strInput.data() + m_nStart, length);
    head.hasWords = ParseRequestLine(text, head.line);
    const HeaderFields fields = ReadHeaderFields(text);
    head.rangeFields = fields.rangeFields;
    if (fields.bodyLengthKnown && !fields.connectionClose && !head.line.http10) {
        m_nBodyLeft = fields.bodyLength;
    } else {
        // Where this request ends is unknown, or its client asked for the
        // close after its reply: nothing after it is a request.
        head.closeAfterReply = true;
        m_nBodyLeft = 0;
        m_bEnded = true;
    }
}

void CRequestFramer::SkipOwedBody() {
    const std::size_t buffered = BufferedBytes();
    const std::size_t skipped = buffered < m_nBodyLeft ? buffered : static_cast<std::size_t>(m_nBodyLeft);
    if (skipped == 0) return;
    Consume(skipped);
    m_nBodyLeft -= skipped;
}

void CRequestFramer::Consume(std::size_t count) {
    m_nStart += count;
    if (m_nStart >= m_strInput.size()) {
        // All handed out: an idle connection keeps no large buffer.
        if (m_strInput.capacity() > 65536) {
            std::string().swap(m_strInput);
        } else {
            m_strInput.clear();
        }
        m_nStart = m_nScanned = 0;
    } else if (m_nStart > 4096 && m_nStart > m_strInput.size() / 2) {
        // Pipelined requests are handed out from the front: move the rest
        // down now and then rather than after every request.
        m_strInput.erase(0, m_nStart);
        m_nScanned = m_nScanned > m_nStart ? m_nScanned - m_nStart : 0;
        m_nStart = 0;
    }
}
