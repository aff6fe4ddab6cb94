// Incremental reader of one HTTP/1.1 reply: status line, headers, then a body framed by Content-Length or chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class ReplyParser {
  public:
    // Forgets the previous reply; the next bytes fed start a new one.
    void Reset();

    // Takes up to `length` bytes of the stream and returns how many belong to
    // this reply (all of them unless the reply ended inside the block). Body
    // bytes are counted, not kept. Returns -1 when the reply is malformed.
    long Feed(const char* data, std::size_t length);

    bool Done() const { return m_state == State::Done; }
    int Status() const { return m_status; }
    std::uint64_t BodyBytes() const { return m_bodyBytes; }

  private:
    enum class State { Head, Body, ChunkSize, ChunkData, ChunkDataEnd, Trailer, Done };

    bool ParseHead();
    bool ParseChunkSize();

    State m_state = State::Head;
    std::string m_line;          // head so far, or the current chunk-size or trailer line
    std::uint64_t m_remaining = 0;
    std::uint64_t m_bodyBytes = 0;
    int m_status = 0;
};
