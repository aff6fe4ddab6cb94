// Splitting a connection's incoming bytes into requests: heads up to their empty line, bodies skipped.
//
// A client may send its request in any number of pieces, several requests
// in one piece (pipelining), and a body after a head. The framer keeps what
// it received between reads and hands out one complete head at a time, in
// order, with the Range and If-Range lines it holds (server/ByteRange.h).
// A declared Content-Length body is skipped as it arrives. Where the
// end of a body cannot be known (Transfer-Encoding, an unreadable
// Content-Length) the head says so: the connection answers it and closes.
// So does a head whose client asked for the close (an HTTP/1.0 request
// line, or "close" in its Connection field): nothing after it is answered.
// A head that grows past kMaxHeadBytes without ending is refused whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/ByteRange.h"
#include "server/RequestLine.h"

// What one request head says.
struct RequestHead {
    RequestLine line;
    // The part of a file the request asks for.
    RangeFields rangeFields;
    // The head holds at least one word (the method); a head without any is
    // dropped without a reply.
    bool hasWords = false;
    // The connection must close once this request is answered: the bytes
    // after it cannot be framed (Transfer-Encoding, an unreadable length,
    // or a head too long to read), or the client asked for the close.
    bool closeAfterReply = false;
};

class CRequestFramer {
  public:
    // The longest head read; a longer one is answered "not found" and ends
    // the connection. A setup program's head is under 1 KB; a client that
    // sends more is not one of them.
    static constexpr std::size_t kMaxHeadBytes = 65536;

    enum class Step {
        NeedMore,     // no complete head yet
        Head,         // `head` holds the next request
        HeadTooLarge  // `head` holds what the first line of an overlong head says; nothing follows
    };

    // Takes bytes received from the peer (body bytes still owed are dropped at once).
    void Receive(std::string_view bytes);
    // The next request, if one is complete.
    Step Next(RequestHead& head);
    // At the end of the peer's data: the bytes of a head that never got its
    // empty line, read as a last request (a client may end its request with
    // its close instead). False when nothing but line breaks was left.
    bool TakeUnfinishedHead(RequestHead& head);

    // Bytes kept: part of a head, or heads not yet handed out.
    std::size_t BufferedBytes() const { return m_strInput.size() - m_nStart; }
    // Nothing kept and nothing owed: the connection is between requests.
    bool IsBetweenRequests() const { return BufferedBytes() == 0 && m_nBodyLeft == 0; }

  private:
    // Drops body bytes owed from the kept input.
    void SkipOwedBody();
    void Consume(std::size_t count);
    // Reads the head in [m_nStart, m_nStart + length) into `head` and sets
    // the body owed after it.
    void ReadHead(std::size_t length, RequestHead& head);

    std::string m_strInput;
    std::size_t m_nStart = 0;     // first byte not yet handed out
    std::size_t m_nScanned = 0;   // bytes after m_nStart already searched for the head's end
    std::uint64_t m_nBodyLeft = 0;
    bool m_bEnded = false;        // a head that ends the framing was handed out: nothing more is read
};

// What the header lines of a head (after its request line) say. Field
// names ignore case; blanks around a value do not count.
struct HeaderFields {
    // The body after the head: false when its end cannot be known
    // (Transfer-Encoding, an unreadable length, two lengths that disagree).
    bool bodyLengthKnown = true;
    std::uint64_t bodyLength = 0;  // 0 when none is declared
    RangeFields rangeFields;
    // A Connection field holds the token "close" (any case, in a comma list).
    bool connectionClose = false;
};
HeaderFields ReadHeaderFields(std::string_view head);
