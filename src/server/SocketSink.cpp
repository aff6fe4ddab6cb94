// The send queue's sink over a socket: plain sends, and file bytes sent without a copy where the platform can.
#include "server/SocketSink.h"

#include "platform/AsyncSocket.h"
#include "platform/Win32Codes.h"

int CSocketSink::Note(int result) {
    if (result > 0) {
        m_bProgressed = true;
        m_nSent += static_cast<std::uint64_t>(result);
    } else if (result < 0 && CAsyncSocket::GetLastError() != static_cast<int>(WSAEWOULDBLOCK)) {
        m_bBroke = true;  // nothing more can be delivered
    }
    return result;
}

int CSocketSink::SendBytes(const char* data, int length) { return Note(m_socket.Send(data, length, 0)); }

int CSocketSink::SendPieces(const plat::SendPiece* pieces, int count) {
    return Note(m_socket.SendPieces(pieces, count));
}

bool CSocketSink::SendsFileBytes(const CFile& file) const {
    return CAsyncSocket::CanSendFileBytes() && dynamic_cast<const CDiskFile*>(&file) != nullptr;
}

int CSocketSink::SendFileBytes(const char* head, int headLength, CFile& file, ULONGLONG offset, int length) {
    const auto* disk = dynamic_cast<const CDiskFile*>(&file);
    if (disk == nullptr) return SOCKET_ERROR;
    const int sent = m_socket.SendFileBytes(head, headLength, *disk, offset, length);
    if (sent == SOCKET_ERROR && CAsyncSocket::GetLastError() == static_cast<int>(ERROR_HANDLE_EOF)) return kFileEnded;
    return Note(sent);
}
