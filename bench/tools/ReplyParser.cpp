// Incremental reader of one HTTP/1.1 reply (Content-Length or chunked body).
#include "ReplyParser.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

}  // namespace

void ReplyParser::Reset() {
    m_state = State::Head;
    m_line.clear();
    m_remaining = 0;
    m_bodyBytes = 0;
    m_status = 0;
}

bool ReplyParser::ParseHead() {
    // "HTTP/1.1 200 OK"
    const std::size_t space = m_line.find(' ');
    if (m_line.compare(0, 5, "HTTP/") != 0 || space == std::string::npos) return false;
    m_status = std::atoi(m_line.c_str() + space + 1);

    bool chunked = false;
    long long length = -1;
    std::size_t pos = m_line.find("\r\n");
    while (pos != std::string::npos && pos + 2 < m_line.size()) {
        const std::size_t next = m_line.find("\r\n", pos + 2);
        const std::string_view field(m_line.data() + pos + 2, (next == std::string::npos ? m_line.size() : next) - pos - 2);
        if (StartsWithNoCase(field, "content-length:")) {
            length = std::atoll(std::string(Trim(field.substr(15))).c_str());
        } else if (StartsWithNoCase(field, "transfer-encoding:")) {
            chunked = Trim(field.substr(18)).find("chunked") != std::string_view::npos;
        }
        pos = next;
    }
    m_line.clear();
    if (chunked) {
        m_state = State::ChunkSize;
    } else if (length > 0) {
        m_remaining = static_cast<std::uint64_t>(length);
        m_state = State::Body;
    } else if (length == 0) {
        m_state = State::Done;
    } else {
        return false;  // a reply read until the close is not used here
    }
    return true;
}

bool ReplyParser::ParseChunkSize() {
    char* end = nullptr;
    const unsigned long long size = std::strtoull(m_line.c_str(), &end, 16);
    if (end == m_line.c_str()) return false;
    m_line.clear();
    if (size == 0) {
        m_state = State::Trailer;
    } else {
        m_remaining = size;
        m_state = State::ChunkData;
    }
    return true;
}

long ReplyParser::Feed(const char* data, std::size_t length) {
    std::size_t used = 0;
    while (used < length && m_state != State::Done) {
        switch (m_state) {
            case State::Head: {
                m_line.push_back(data[used++]);
                const std::size_t n = m_line.size();
                if (n >= 4 && m_line.compare(n - 4, 4, "\r\n\r\n") == 0) {
                    m_line.resize(n - 2);  // keep one "\r\n" to end the last field
                    if (!ParseHead()) return -1;
                }
                break;
            }
            case State::Body:
            case State::ChunkData: {
                const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(m_remaining, length - used));
                used += take;
                m_remaining -= take;
                m_bodyBytes += take;
                if (m_remaining == 0) m_state = m_state == State::Body ? State::Done : State::ChunkDataEnd;
                break;
            }
            case State::ChunkDataEnd:
            case State::ChunkSize:
            case State::Trailer: {
                m_line.push_back(data[used++]);
                const std::size_t n = m_line.size();
                if (n < 2 || m_line.compare(n - 2, 2, "\r\n") != 0) break;
                if (m_state == State::ChunkDataEnd) {
                    if (n != 2) return -1;
                    m_line.clear();
                    m_state = State::ChunkSize;
                } else if (m_state == State::ChunkSize) {
                    if (!ParseChunkSize()) return -1;
                } else {
                    const bool blank = n == 2;
                    m_line.clear();
                    if (blank) m_state = State::Done;
                }
                break;
            }
            case State::Done: break;
        }
    }
    return static_cast<long>(used);
}
