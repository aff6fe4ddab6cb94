// The send queue's sink over a connection's socket: what the socket took, and whether it broke.
#pragma once

#include <cstdint>

#include "server/SendQueue.h"

class CAsyncSocket;

// Hands a send queue's bytes to `socket` (package files straight from the
// file where the platform can) and notes what happened: whether any byte
// was taken, and whether a send failed for another reason than a full
// socket (the peer is gone).
class CSocketSink final : public CSendSink {
  public:
    explicit CSocketSink(CAsyncSocket& socket) : m_socket(socket) {}

    int SendBytes(const char* data, int length) override;
    int SendPieces(const plat::SendPiece* pieces, int count) override;
    bool SendsFileBytes(const CFile& file) const override;
    int SendFileBytes(const char* head, int headLength, CFile& file, ULONGLONG offset, int length) override;

    bool Progressed() const { return m_bProgressed; }
    bool Broke() const { return m_bBroke; }
    // Bytes the socket took.
    std::uint64_t SentBytes() const { return m_nSent; }

  private:
    int Note(int result);

    CAsyncSocket& m_socket;
    bool m_bProgressed = false;
    bool m_bBroke = false;
    std::uint64_t m_nSent = 0;
};
