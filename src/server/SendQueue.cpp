// A connection's send queue: chunked reads of the head entry, the stall rule, completion and abandon.
#include "server/SendQueue.h"

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

std::unique_ptr<CFile> MemoryFileOf(std::string text) {
    return std::unique_ptr<CFile>(new (std::nothrow) CReplyTextFile(std::move(text)));
}
}  // namespace

std::uint64_t SendQueueSeconds() { return TickCount64() / 1000; }

void CSendQueue::SetCoalescing(bool on) { g_bCoalescing = on; }
void CSendQueue::SetFileBytesPerCall(UINT bytes) { g_nFileBytesPerCall = bytes; }

CSendQueue::~CSendQueue() {
    for (Entry& entry : m_lstSendQueue) CloseEntry(entry);
}

void CSendQueue::CloseEntry(Entry& entry) {
    m_nMemoryBytes -= entry.memoryBytes;
    entry.memoryBytes = 0;
    if (entry.lease.Holds()) --m_nLeasedEntries;
    if (entry.file) {
        entry.file->Close();
        entry.file.reset();
    }
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
    const std::size_t length = text.size();
    std::unique_ptr<CFile> file = MemoryFileOf(std::move(text));
    if (!file) return false;
    return Append(Entry{std::move(file), length, length});
}

bool CSendQueue::MakeFileEntries(std::string header, std::unique_ptr<CFile> file, ULONGLONG length, ULONGLONG offset,
                                 CBudgetLease lease, Entry& headerEntry, Entry& fileEntry) {
    const std::size_t headerLength = header.size();
    std::unique_ptr<CFile> headerFile = MemoryFileOf(std::move(header));
    if (!headerFile || !file) {
        if (file) file->Close();
        return false;
    }
    // A part of a file starts at its offset; the file position follows.
    if (offset != 0) file->Seek(static_cast<LONGLONG>(offset), CFile::begin);
    headerEntry = Entry{std::move(headerFile), headerLength, headerLength};
    fileEntry = Entry{std::move(file), length, 0, offset};
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
    const std::size_t length = text.size();
    std::unique_ptr<CFile> file = length <= 0xFFFFFFFFu ? MemoryFileOf(std::move(text)) : nullptr;
    Entry entry{std::move(file), length, length};
    if (!entry.file) {
        Replace(token, nullptr, 0);
        return false;
    }
    return Replace(token, &entry, 1);
}

bool CSendQueue::ResolveWithReplyFile(std::uint64_t token, std::unique_ptr<CFile> file, std::uint64_t memoryBytes) {
    if (!file) {
        Replace(token, nullptr, 0);
        return false;
    }
    const ULONGLONG length = file->GetLength();
    Entry entry{std::move(file), length, memoryBytes};
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
            AbandonAll(m_lstSendQueue.front().file->GetFileName());
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

CSendQueue::Offer CSendQueue::OfferRest(CSendSink& sink, UINT fileBytesAllowed) {
    Offer offer;
    if (m_nFileBytes == 0) {
        offer.offered = static_cast<int>(m_nDataEnd - m_nSendPos);
        offer.accepted = sink.SendBytes(m_pBuffer.get() + m_nSendPos, offer.offered);
        return offer;
    }
    // Buffered bytes still waiting go first, then the file's chunk (up to
    // what the turn allows; 0: no limit).
    const UINT headLeft = m_nSendPos < m_nDataEnd ? m_nDataEnd - m_nSendPos : 0;
    const UINT fileDone = m_nSendPos - (m_nDataEnd - headLeft);
    UINT fileOffered = m_nFileBytes - fileDone;
    if (fileBytesAllowed != 0 && fileOffered > fileBytesAllowed) {
        fileOffered = fileBytesAllowed;
        offer.wholeChunk = false;
    }
    offer.offered = static_cast<int>(headLeft + fileOffered);
    offer.accepted = sink.SendFileBytes(headLeft > 0 ? m_pBuffer.get() + m_nSendPos : nullptr,
                                        static_cast<int>(headLeft), *m_lstSendQueue.front().file,
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
    m_bBufferFree = true;
    m_pBuffer.reset();
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
    const bool fromHead = m_bChunkFromHead && !m_lstSendQueue.empty() && m_lstSendQueue.front().file;
    AbandonAll(fromHead ? m_lstSendQueue.front().file->GetFileName() : m_strChunkFileName);
    // The waiting bytes go too: the client stopped taking them.
    ClearChunk();
    return true;
}

UINT CSendQueue::ChunkCapacityNeeded(const CSendSink& sink) const {
    // Walks the queue as FillBuffer takes it: entries are copied while what is
    // buffered stays within the coalescing room, a full chunk ends the chunk,
    // and a full chunk the socket takes straight from its file needs no room.
    const UINT coalesceLimit = g_bCoalescing ? kCoalesceRoom : 0;
    UINT total = 0;
    for (const Entry& entry : m_lstSendQueue) {
        if (entry.pendingToken != 0) break;
        const UINT wanted = NextReadSize(entry);
        if (wanted == m_nBufferSize && sink.SendsFileBytes(*entry.file)) break;
        total += wanted;
        if (wanted == m_nBufferSize || total > coalesceLimit) break;
    }
    return total;
}

void CSendQueue::FillBuffer(const CSendSink& sink) {
    BeginChunk(sink);
    // Data already loaded may be followed by the next entry only while it is
    // small; without coalescing only an empty buffer takes the next entry.
    const UINT coalesceLimit = g_bCoalescing ? kCoalesceRoom : 0;

    while (!m_lstSendQueue.empty() && m_lstSendQueue.front().pendingToken == 0) {
        Entry& head = m_lstSendQueue.front();
        const UINT wanted = NextReadSize(head);
        if (wanted == m_nBufferSize && sink.SendsFileBytes(*head.file)) {
            LeaveChunkInFile(head, wanted);
            break;
        }
        if (!ReadIntoChunk(head, wanted, sink)) break;
        if (wanted == m_nBufferSize) {
            m_bChunkFromHead = true;
            break;
        }
        FinishHeadEntry();
        if (m_nDataEnd > coalesceLimit) break;
    }

    if (m_nDataEnd == 0) m_pBuffer.reset();  // nothing buffered: the buffer returns when there is something to read
}

void CSendQueue::BeginChunk(const CSendSink& sink) {
    m_nDataEnd = 0;
    m_nSendPos = 0;
    m_nFileBytes = 0;
    m_bBufferFree = true;
    // The buffer kept from the last chunk may be too small for what is queued now.
    if (m_pBuffer && m_nBufferCapacity < ChunkCapacityNeeded(sink)) m_pBuffer.reset();
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
        if (!m_pBuffer) {
            m_nBufferCapacity = ChunkCapacityNeeded(sink);
            m_pBuffer.reset(new (std::nothrow) char[m_nBufferCapacity]);
            if (!m_pBuffer) {
                AbandonAll(head.file->GetFileName());
                return false;
            }
        }
        target = m_pBuffer.get() + m_nDataEnd;
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
    m_nDataEnd += count;
    head.remaining -= count;
    head.taken += count;
    return true;
}

void CSendQueue::FinishHeadEntry() {
    // The entry is finished although its last bytes may still wait for
    // the socket: keep its name for the log line of an abandon.
    Entry& head = m_lstSendQueue.front();
    m_strChunkFileName = head.file->GetFileName();
    m_bChunkFromHead = false;
    AppLog(L"Transmitting file %s completed...", RequestTextForLog(m_strChunkFileName));
    PopHead();
}
