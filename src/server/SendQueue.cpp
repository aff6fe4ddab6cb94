// A connection's send queue: chunked reads of the head entry, the stall rule, completion and abandon.
#include "server/SendQueue.h"

#include <atomic>
#include <new>

#include "common/LogSink.h"
#include "server/ReplyTextFile.h"
#include "server/RequestLogText.h"
#include "threading/Clock.h"

namespace {
std::atomic<bool> g_bCoalescing{true};

std::unique_ptr<CFile> MemoryFileOf(std::string text) {
    return std::unique_ptr<CFile>(new (std::nothrow) CReplyTextFile(std::move(text)));
}
}  // namespace

std::uint64_t SendQueueSeconds() { return TickCount64() / 1000; }

void CSendQueue::SetCoalescing(bool on) { g_bCoalescing = on; }
bool CSendQueue::CoalescingEnabled() { return g_bCoalescing; }

CSendQueue::~CSendQueue() {
    for (Entry& entry : m_lstSendQueue) CloseEntry(entry);
}

void CSendQueue::CloseEntry(Entry& entry) {
    m_nMemoryBytes -= entry.memoryBytes;
    entry.memoryBytes = 0;
    if (!entry.file) return;
    entry.file->Close();
    entry.file.reset();
}

void CSendQueue::PopHead() {
    CloseEntry(m_lstSendQueue.front());
    m_lstSendQueue.pop_front();
}

bool CSendQueue::Append(std::unique_ptr<CFile> file, ULONGLONG length, std::uint64_t memoryBytes) {
    // A queue that starts sending starts its stall measure now.
    const bool wasIdle = IsIdle();
    try {
        m_lstSendQueue.push_back(Entry{std::move(file), length, memoryBytes});
    } catch (const std::bad_alloc&) {
        return false;  // the entry being added took the file along and closed it
    }
    m_nMemoryBytes += memoryBytes;
    if (wasIdle) m_nProgressStamp = SendQueueSeconds();
    return true;
}

bool CSendQueue::AppendMemoryReply(std::string text) {
    if (text.size() > 0xFFFFFFFFu) return false;
    const std::size_t length = text.size();
    std::unique_ptr<CFile> file = MemoryFileOf(std::move(text));
    if (!file) return false;
    return Append(std::move(file), length, length);
}

bool CSendQueue::AppendFileReply(std::string header, std::unique_ptr<CFile> file, ULONGLONG length) {
    const std::size_t headerLength = header.size();
    std::unique_ptr<CFile> headerFile = MemoryFileOf(std::move(header));
    if (!headerFile || !Append(std::move(headerFile), headerLength, headerLength)) {
        if (file) file->Close();
        return false;
    }
    if (!Append(std::move(file), length, 0)) {
        // A header without its body would break the client's framing.
        CloseEntry(m_lstSendQueue.back());
        m_lstSendQueue.pop_back();
        return false;
    }
    return true;
}

void CSendQueue::SendPending(CSendSink& sink) {
    if (m_bBufferFree) FillBuffer(sink);
    while (ChunkEnd() != m_nSendPos) {
        int offered;
        int accepted;
        if (m_nFileBytes == 0) {
            offered = static_cast<int>(m_nDataEnd - m_nSendPos);
            accepted = sink.SendBytes(m_pBuffer.get() + m_nSendPos, offered);
        } else {
            // Buffered bytes still waiting go first, then the file's chunk.
            const UINT headLeft = m_nSendPos < m_nDataEnd ? m_nDataEnd - m_nSendPos : 0;
            const UINT fileDone = m_nSendPos - (m_nDataEnd - headLeft);
            offered = static_cast<int>(headLeft + m_nFileBytes - fileDone);
            accepted = sink.SendFileBytes(headLeft > 0 ? m_pBuffer.get() + m_nSendPos : nullptr,
                                          static_cast<int>(headLeft), *m_lstSendQueue.front().file,
                                          m_nFileOffset + fileDone, static_cast<int>(m_nFileBytes - fileDone));
            if (accepted == CSendSink::kFileEnded) {
                // The file became shorter than its announced length.
                AbandonAll(m_lstSendQueue.front().file->GetFileName());
                ClearChunk();
                return;
            }
        }
        if (accepted > 0) m_nProgressStamp = SendQueueSeconds();
        if (accepted == offered) {
            FillBuffer(sink);
            continue;
        }
        // The socket took less: keep the rest where it is until it can take more.
        m_bBufferFree = false;
        if (accepted > 0) m_nSendPos += static_cast<UINT>(accepted);
        return;
    }
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
    const bool fromHead = m_bChunkFromHead && !m_lstSendQueue.empty();
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

    while (!m_lstSendQueue.empty()) {
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
