// A connection's send queue: chunks of the head entry (texts where they lie, files read or left in the file), the stall rule, completion and abandon.
#include "server/SendQueue.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <new>

#include "common/LogSink.h"
#include "server/ReplyTextFile.h"
#include "server/RequestLogText.h"
#include "threading/Clock.h"

namespace {
std::atomic<bool> g_bCoalescing{true};
std::atomic<UINT> g_nFileBytesPerCall{CSendQueue::kFileBytesPerCall};

}  // namespace

std::uint64_t SendQueueSeconds() { return TickCount64() / 1000; }

int CSendSink::SendPieces(const plat::SendPiece* pieces, int count) {
    int sent = 0;
    for (int i = 0; i < count; ++i) {
        if (pieces[i].length == 0) continue;
        const int n = SendBytes(static_cast<const char*>(pieces[i].data), pieces[i].length);
        if (n < 0) return sent > 0 ? sent : n;
        sent += n;
        if (n < pieces[i].length) break;
    }
    return sent;
}

void CSendQueue::SetCoalescing(bool on) { g_bCoalescing = on; }
void CSendQueue::SetFileBytesPerCall(UINT bytes) { g_nFileBytesPerCall = bytes; }

CSendQueue::~CSendQueue() {
    for (Entry& entry : m_lstSendQueue) CloseEntry(entry);
    ReleaseHeld();
}

CSendQueue::Entry CSendQueue::TextEntry(std::string text) { return Entry(std::move(text)); }

void CSendQueue::CloseEntry(Entry& entry) {
    m_nMemoryBytes -= entry.memoryBytes;
    entry.memoryBytes = 0;
    if (entry.lease.Holds()) --m_nLeasedEntries;
    if (entry.file) {
        entry.file->Close();
        entry.file.reset();
    }
    entry.memory = nullptr;
    entry.text.clear();
    entry.text.shrink_to_fit();
    entry.lease.Release();
}

void CSendQueue::PopHead() {
    CloseEntry(m_lstSendQueue.front());
    m_lstSendQueue.pop_front();
}

bool CSendQueue::Append(Entry&& entry) {
    // A queue that starts sending starts its stall measure now.
    const bool wasIdle = IsIdle();
    try {
        m_lstSendQueue.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        return false;  // the entry being added took the file along and closed it
    }
    Count(m_lstSendQueue.back());
    if (wasIdle) m_nProgressStamp = SendQueueSeconds();
    return true;
}

bool CSendQueue::AppendMemoryReply(std::string text) {
    if (text.size() > 0xFFFFFFFFu) return false;
    return Append(TextEntry(std::move(text)));
}

bool CSendQueue::MakeFileEntries(std::string header, std::unique_ptr<CFile> file, ULONGLONG length, ULONGLONG offset,
                                 CBudgetLease lease, Entry& headerEntry, Entry& fileEntry) {
    if (!file || header.size() > 0xFFFFFFFFu) {
        if (file) file->Close();
        return false;
    }
    // A part of a file starts at its offset; the file position follows.
    if (offset != 0) file->Seek(static_cast<LONGLONG>(offset), CFile::begin);
    headerEntry = TextEntry(std::move(header));
    fileEntry = Entry{std::move(file), length, 0, offset};
    fileEntry.memory = dynamic_cast<const CReplyTextFile*>(fileEntry.file.get());
    fileEntry.lease = std::move(lease);
    return true;
}

bool CSendQueue::AppendFileReply(std::string header, std::unique_ptr<CFile> file, ULONGLONG length, ULONGLONG offset,
                                 CBudgetLease lease) {
    Entry entries[2] = {Entry{nullptr, 0, 0}, Entry{nullptr, 0, 0}};
    if (!MakeFileEntries(std::move(header), std::move(file), length, offset, std::move(lease), entries[0], entries[1]))
        return false;
    if (!Append(std::move(entries[0]))) {
        entries[1].file->Close();
        return false;
    }
    if (!Append(std::move(entries[1]))) {
        // A header without its body would break the client's framing.
        CloseEntry(m_lstSendQueue.back());
        m_lstSendQueue.pop_back();
        return false;
    }
    return true;
}

bool CSendQueue::AppendPending(std::uint64_t token) {
    Entry entry{nullptr, 0, 0};
    entry.pendingToken = token;
    return Append(std::move(entry));
}

std::uint64_t CSendQueue::PendingHeadToken() const {
    return m_lstSendQueue.empty() ? 0 : m_lstSendQueue.front().pendingToken;
}

bool CSendQueue::HasPending(std::uint64_t token) const {
    for (const Entry& entry : m_lstSendQueue)
        if (entry.pendingToken == token) return true;
    return false;
}

bool CSendQueue::Replace(std::uint64_t token, Entry* entries, std::size_t count) {
    std::size_t index = 0;
    while (index < m_lstSendQueue.size() && m_lstSendQueue[index].pendingToken != token) ++index;
    const auto closeAll = [&] {
        for (std::size_t i = 0; i < count; ++i)
            if (entries[i].file) entries[i].file->Close();
    };
    if (index == m_lstSendQueue.size()) {
        closeAll();
        return false;
    }
    const auto at = m_lstSendQueue.begin() + static_cast<std::ptrdiff_t>(index);
    if (count == 0) {
        m_lstSendQueue.erase(at);
        return false;
    }
    try {
        // The placeholder becomes the first entry, the others follow it.
        m_lstSendQueue.insert(at + 1, std::make_move_iterator(entries + 1), std::make_move_iterator(entries + count));
    } catch (const std::bad_alloc&) {
        closeAll();
        m_lstSendQueue.erase(m_lstSendQueue.begin() + static_cast<std::ptrdiff_t>(index));
        return false;
    }
    m_lstSendQueue[index] = std::move(entries[0]);
    for (std::size_t i = 0; i < count; ++i) Count(m_lstSendQueue[index + i]);
    // A reply that waited at the head starts its stall measure now.
    if (index == 0) m_nProgressStamp = SendQueueSeconds();
    return true;
}

bool CSendQueue::ResolveWithText(std::uint64_t token, std::string text) {
    if (text.size() > 0xFFFFFFFFu) {
        Replace(token, nullptr, 0);
        return false;
    }
    Entry entry = TextEntry(std::move(text));
    return Replace(token, &entry, 1);
}

bool CSendQueue::ResolveWithReplyFile(std::uint64_t token, std::unique_ptr<CFile> file, std::uint64_t memoryBytes) {
    if (!file) {
        Replace(token, nullptr, 0);
        return false;
    }
    const ULONGLONG length = file->GetLength();
    Entry entry{std::move(file), length, memoryBytes};
    entry.memory = dynamic_cast<const CReplyTextFile*>(entry.file.get());
    return Replace(token, &entry, 1);
}

void CSendQueue::DropAll() {
    for (Entry& entry : m_lstSendQueue) CloseEntry(entry);
    m_lstSendQueue.clear();
    ClearChunk();
}

bool CSendQueue::ResolveWithFile(std::uint64_t token, std::string header, std::unique_ptr<CFile> file,
                                 ULONGLONG length, ULONGLONG offset, CBudgetLease lease) {
    Entry entries[2] = {Entry{nullptr, 0, 0}, Entry{nullptr, 0, 0}};
    if (!MakeFileEntries(std::move(header), std::move(file), length, offset, std::move(lease), entries[0], entries[1])) {
        Replace(token, nullptr, 0);
        return false;
    }
    return Replace(token, entries, 2);
}

bool CSendQueue::SendPending(CSendSink& sink) {
    if (m_bBufferFree) FillBuffer(sink);
    const UINT fileLimit = g_nFileBytesPerCall.load(std::memory_order_relaxed);
    UINT fileBytesSent = 0;
    while (ChunkEnd() != m_nSendPos) {
        if (m_nFileBytes != 0 && fileLimit != 0 && fileBytesSent >= fileLimit) {
            // This turn's share went out: the rest waits for the next turn.
            m_bBufferFree = false;
            return true;
        }
        const Offer offer = OfferRest(sink, fileLimit == 0 ? 0 : fileLimit - fileBytesSent);
        if (offer.fileEnded) {
            // The file became shorter than its announced length.
            AbandonAll(NameOf(m_lstSendQueue.front()));
            ClearChunk();
            return false;
        }
        fileBytesSent += offer.fileBytesTaken;
        if (offer.accepted > 0) m_nProgressStamp = SendQueueSeconds();
        if (offer.accepted == offer.offered) {
            if (offer.wholeChunk) {
                FillBuffer(sink);
            } else {
                m_nSendPos += static_cast<UINT>(offer.accepted);
            }
            continue;
        }
        // The socket took less: keep the rest where it is until it can take more.
        m_bBufferFree = false;
        if (offer.accepted > 0) m_nSendPos += static_cast<UINT>(offer.accepted);
        return false;
    }
    return false;
}

int CSendQueue::OfferPieces(CSendSink& sink, UINT position, UINT* offered) const {
    plat::SendPiece rest[kMaxPieces];
    int count = 0;
    UINT start = 0;
    *offered = 0;
    for (int i = 0; i < m_nPieces; ++i) {
        const UINT length = static_cast<UINT>(m_pieces[i].length);
        if (position < start + length) {
            const UINT skip = position > start ? position - start : 0;
            rest[count++] = {static_cast<const char*>(m_pieces[i].data) + skip, static_cast<int>(length - skip)};
            *offered += length - skip;
        }
        start += length;
    }
    return count == 1 ? sink.SendBytes(static_cast<const char*>(rest[0].data), rest[0].length)
                      : sink.SendPieces(rest, count);
}

CSendQueue::Offer CSendQueue::OfferRest(CSendSink& sink, UINT fileBytesAllowed) {
    Offer offer;
    const UINT headLeft = m_nSendPos < m_nDataEnd ? m_nDataEnd - m_nSendPos : 0;
    // Pieces alone, or several pieces before file bytes: they go first, the file at the next offer.
    const bool onePieceLeft = headLeft > 0 && headLeft <= static_cast<UINT>(m_pieces[m_nPieces - 1].length);
    if (m_nFileBytes == 0 || (headLeft > 0 && !onePieceLeft)) {
        UINT offered = 0;
        offer.accepted = OfferPieces(sink, m_nSendPos, &offered);
        offer.offered = static_cast<int>(offered);
        offer.wholeChunk = m_nFileBytes == 0;
        return offer;
    }
    // What is left of the last piece leaves together with the file's chunk
    // (up to what the turn allows; 0: no limit).
    const char* head = headLeft > 0 ? static_cast<const char*>(m_pieces[m_nPieces - 1].data) +
                                          (m_pieces[m_nPieces - 1].length - static_cast<int>(headLeft))
                                    : nullptr;
    const UINT fileDone = m_nSendPos - (m_nDataEnd - headLeft);
    UINT fileOffered = m_nFileBytes - fileDone;
    if (fileBytesAllowed != 0 && fileOffered > fileBytesAllowed) {
        fileOffered = fileBytesAllowed;
        offer.wholeChunk = false;
    }
    offer.offered = static_cast<int>(headLeft + fileOffered);
    offer.accepted = sink.SendFileBytes(head, static_cast<int>(headLeft), *m_lstSendQueue.front().file,
                                        m_nFileOffset + fileDone, static_cast<int>(fileOffered));
    if (offer.accepted == CSendSink::kFileEnded) {
        offer.fileEnded = true;
    } else if (offer.accepted > static_cast<int>(headLeft)) {
        offer.fileBytesTaken = static_cast<UINT>(offer.accepted) - headLeft;
    }
    return offer;
}

void CSendQueue::ClearChunk() {
    m_nDataEnd = 0;
    m_nSendPos = 0;
    m_nFileBytes = 0;
    m_nPieces = 0;
    m_nBufferUsed = 0;
    m_bBufferFree = true;
    m_pBuffer.reset();
    ReleaseHeld();
}

void CSendQueue::ReleaseHeld() {
    m_lstHeldTexts.clear();
    for (auto& file : m_lstHeldFiles) file->Close();
    m_lstHeldFiles.clear();
}

void CSendQueue::AbandonAll(const std::wstring& fileName) {
    AppLog(L"Transmitting file %s failed ... aborting sending", RequestTextForLog(fileName));
    for (Entry& entry : m_lstSendQueue) CloseEntry(entry);
    m_lstSendQueue.clear();
    m_bAbandoned = true;
}

bool CSendQueue::AbandonIfStalled(std::uint64_t nowSeconds) {
    if (m_bBufferFree || ChunkEnd() == m_nSendPos) return false;
    if (!IsStalled(m_nProgressStamp, nowSeconds)) return false;
    const bool fromHead = m_bChunkFromHead && !m_lstSendQueue.empty();
    AbandonAll(fromHead ? NameOf(m_lstSendQueue.front()) : m_strChunkFileName);
    // The waiting bytes go too: the client stopped taking them.
    ClearChunk();
    return true;
}

UINT CSendQueue::ChunkCapacityNeeded(const CSendSink& sink) const {
    // Walks the queue as FillBuffer takes it: entries join the chunk while
    // what it holds stays within the coalescing room, a full chunk ends it,
    // and only a file's bytes that are read need room (a text, bytes in
    // memory and a full chunk the socket takes straight from its file need none).
    const UINT coalesceLimit = g_bCoalescing ? kCoalesceRoom : 0;
    UINT total = 0;
    UINT read = 0;
    int pieces = 0;
    for (const Entry& entry : m_lstSendQueue) {
        if (entry.pendingToken != 0 || pieces + 2 > kMaxPieces) break;
        const UINT wanted = NextReadSize(entry);
        if (InMemory(entry)) {
            pieces += 2;
        } else {
            if (wanted == m_nBufferSize && sink.SendsFileBytes(*entry.file)) break;
            read += wanted;
            ++pieces;
        }
        total += wanted;
        if (wanted == m_nBufferSize || total > coalesceLimit) break;
    }
    return read;
}

void CSendQueue::FillBuffer(const CSendSink& sink) {
    BeginChunk(sink);
    // Data already in the chunk may be followed by the next entry only while
    // it is small; without coalescing only an empty chunk takes the next entry.
    const UINT coalesceLimit = g_bCoalescing ? kCoalesceRoom : 0;

    while (!m_lstSendQueue.empty() && m_lstSendQueue.front().pendingToken == 0 && m_nPieces + 2 <= kMaxPieces) {
        Entry& head = m_lstSendQueue.front();
        const UINT wanted = NextReadSize(head);
        if (InMemory(head)) {
            if (!TakeInMemory(head, wanted)) break;
        } else if (wanted == m_nBufferSize && sink.SendsFileBytes(*head.file)) {
            LeaveChunkInFile(head, wanted);
            break;
        } else if (!ReadIntoChunk(head, wanted, sink)) {
            break;
        }
        if (wanted == m_nBufferSize) {
            m_bChunkFromHead = true;
            break;
        }
        FinishHeadEntry();
        if (m_nDataEnd > coalesceLimit) break;
    }

    if (m_nBufferUsed == 0) m_pBuffer.reset();  // nothing read: the buffer returns when there is something to read
}

void CSendQueue::BeginChunk(const CSendSink& sink) {
    m_nDataEnd = 0;
    m_nSendPos = 0;
    m_nFileBytes = 0;
    m_nPieces = 0;
    m_nBufferUsed = 0;
    m_bBufferFree = true;
    ReleaseHeld();  // the last chunk has gone
    // The buffer kept from the last chunk may be too small for what is queued now.
    if (m_pBuffer && m_nBufferCapacity < ChunkCapacityNeeded(sink)) m_pBuffer.reset();
}

void CSendQueue::AddPiece(const char* data, UINT length) {
    if (length == 0) return;
    m_pieces[m_nPieces++] = {data, static_cast<int>(length)};
    m_nDataEnd += length;
}

bool CSendQueue::TakeInMemory(Entry& head, UINT wanted) {
    const std::size_t from = static_cast<std::size_t>(head.taken);
    std::string_view parts[2];
    if (head.memory == nullptr) {
        // A text that is taken whole moves to the chunk's keeping now; one
        // taken in chunks is a large string whose bytes never move.
        if (wanted == head.remaining && wanted != m_nBufferSize) {
            try {
                m_lstHeldTexts.push_back(std::move(head.text));
            } catch (const std::bad_alloc&) {
                AbandonAll(std::wstring());
                return false;
            }
            parts[0] = m_lstHeldTexts.back();
        } else {
            parts[0] = head.text;
        }
    } else {
        parts[0] = head.memory->OwnPart();
        parts[1] = head.memory->SharedPart();
    }
    std::size_t start = 0;
    const std::size_t end = from + wanted;
    for (const std::string_view part : parts) {
        const std::size_t first = std::max(from, start);
        const std::size_t last = std::min(end, start + part.size());
        if (first < last) AddPiece(part.data() + (first - start), static_cast<UINT>(last - first));
        start += part.size();
    }
    head.remaining -= wanted;
    head.taken += wanted;
    return true;
}

void CSendQueue::LeaveChunkInFile(Entry& head, UINT size) {
    // A full chunk that the socket can take straight from the file:
    // it counts as read now, but its bytes stay in the file, which stays open for them anyway
    // since the entry is not finished.
    m_nFileBytes = size;
    m_nFileOffset = head.taken;
    head.taken += size;
    head.remaining -= size;
    head.leftInFile = true;
    m_bChunkFromHead = true;
}

bool CSendQueue::ReadIntoChunk(Entry& head, UINT wanted, const CSendSink& sink) {
    // An entry with nothing left needs no buffer for its empty read.
    char nothing = 0;
    char* target = &nothing;
    if (wanted > 0) {
        if (!m_pBuffer || m_nBufferCapacity - m_nBufferUsed < wanted) {
            // No room left behind what this chunk already read: the entry starts the next chunk.
            if (m_nBufferUsed > 0) return false;
            m_nBufferCapacity = std::max(ChunkCapacityNeeded(sink), wanted);
            m_pBuffer.reset(new (std::nothrow) char[m_nBufferCapacity]);
            if (!m_pBuffer) {
                AbandonAll(head.file->GetFileName());
                return false;
            }
        }
        target = m_pBuffer.get() + m_nBufferUsed;
        if (head.leftInFile) {
            // Earlier chunks went without reading: catch the position up.
            head.file->Seek(static_cast<LONGLONG>(head.taken), CFile::begin);
            head.leftInFile = false;
        }
    }
    const UINT count = head.file->Read(target, wanted);
    if (head.file->Failed() || count != wanted) {
        // A failed read, or a file that became shorter than its announced
        // length: what was announced can no longer be delivered.
        AbandonAll(head.file->GetFileName());
        return false;
    }
    AddPiece(target, count);
    m_nBufferUsed += count;
    head.remaining -= count;
    head.taken += count;
    return true;
}

void CSendQueue::FinishHeadEntry() {
    // The entry is finished although its last bytes may still wait for
    // the socket: keep its name for the log line of an abandon, and bytes
    // in memory until the chunk has gone.
    Entry& head = m_lstSendQueue.front();
    // Copied into the room the name kept from the last entry.
    m_strChunkFileName.clear();
    if (head.file) head.file->AppendFileName(m_strChunkFileName);
    m_bChunkFromHead = false;
    if (head.memory != nullptr && m_nDataEnd > 0) {
        // The vector's room is kept from chunk to chunk: this rarely allocates.
        try {
            m_lstHeldFiles.push_back(std::move(head.file));
        } catch (const std::bad_alloc&) {
            // The file stays with the entry and closes with it: its bytes
            // would be gone before the socket took them.
            AbandonAll(m_strChunkFileName);
            ClearChunk();
            return;
        }
        head.memory = nullptr;
    }
    AppLog(L"Transmitting file %s completed...", RequestTextForLog(m_strChunkFileName));
    PopHead();
}
