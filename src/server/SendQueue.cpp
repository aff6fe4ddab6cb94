// A connection's send queue: chunked reads of the head entry, the stall rule, completion and abandon.
#include "server/SendQueue.h"

#include <atomic>
#include <new>

#include "app/VelmoraServiceApp.h"
#include "common/Clock.h"
#include "platform/MemFile.h"

namespace {
std::atomic<bool> g_bCoalescing{true};

std::unique_ptr<CFile> MemoryFileOf(std::string_view text) {
    auto file = std::make_unique<CMemFile>(1024);
    if (!text.empty() && !file->Write(text.data(), static_cast<UINT>(text.size()))) return nullptr;
    file->SeekToBegin();
    return file;
}
}  // namespace

std::uint64_t SendQueueSeconds() { return TickCount64() / 1000; }

void CSendQueue::SetCoalescing(bool on) { g_bCoalescing = on; }
bool CSendQueue::CoalescingEnabled() { return g_bCoalescing; }

CSendQueue::~CSendQueue() {
    for (Entry& entry : m_lstSendQueue) CloseEntry(entry);
}

void CSendQueue::CloseEntry(Entry& entry) {
    if (!entry.file) return;
    entry.file->Close();
    entry.file.reset();
}

bool CSendQueue::Append(std::unique_ptr<CFile> file, ULONGLONG length, std::uint64_t stamp) {
    try {
        m_lstSendQueue.push_back(Entry{std::move(file), length, stamp});
    } catch (const std::bad_alloc&) {
        return false;  // the entry being added took the file along and closed it
    }
    return true;
}

bool CSendQueue::AppendMemoryReply(std::string_view text) {
    if (text.size() > 0xFFFFFFFFu) return false;
    std::unique_ptr<CFile> file = MemoryFileOf(text);
    if (!file) return false;
    return Append(std::move(file), text.size(), SendQueueSeconds());
}

bool CSendQueue::AppendFileReply(std::string_view header, std::unique_ptr<CFile> file, ULONGLONG length) {
    const std::uint64_t now = SendQueueSeconds();
    std::unique_ptr<CFile> headerFile = MemoryFileOf(header);
    if (!headerFile || !Append(std::move(headerFile), header.size(), now)) {
        if (file) file->Close();
        return false;
    }
    if (!Append(std::move(file), length, now)) {
        // A header without its body would break the client's framing.
        CloseEntry(m_lstSendQueue.back());
        m_lstSendQueue.pop_back();
        return false;
    }
    return true;
}

void CSendQueue::SendPending(CSendSink& sink) {
    if (m_bBufferFree) FillBuffer();
    while (m_nDataEnd != m_nSendPos) {
        const int offered = static_cast<int>(m_nDataEnd - m_nSendPos);
        const int accepted = sink.SendBytes(m_pBuffer.get() + m_nSendPos, offered);
        if (accepted == offered) {
            FillBuffer();
            continue;
        }
        // The socket took less: keep the rest where it is until it can take more.
        m_bBufferFree = false;
        if (accepted > 0) m_nSendPos += static_cast<UINT>(accepted);
        return;
    }
}

void CSendQueue::AbandonAll(const std::wstring& fileName) {
    AppLog(L"Transmitting file %s failed ... aborting sending", fileName);
    for (Entry& entry : m_lstSendQueue) CloseEntry(entry);
    m_lstSendQueue.clear();
    m_bAbandoned = true;
}

bool CSendQueue::AbandonIfStalled(std::uint64_t nowSeconds) {
    if (m_bBufferFree || m_nDataEnd == m_nSendPos) return false;
    const bool fromHead = m_bChunkFromHead && !m_lstSendQueue.empty();
    const std::uint64_t stamp = fromHead ? m_lstSendQueue.front().stamp : m_nChunkStamp;
    if (!IsStalled(stamp, nowSeconds)) return false;
    AbandonAll(fromHead ? m_lstSendQueue.front().file->GetFileName() : m_strChunkFileName);
    // The waiting bytes go too: the client stopped taking them.
    m_nDataEnd = 0;
    m_nSendPos = 0;
    m_bBufferFree = true;
    m_pBuffer.reset();
    return true;
}

void CSendQueue::FillBuffer() {
    m_nDataEnd = 0;
    m_nSendPos = 0;
    m_bBufferFree = true;
    // Data already loaded may be followed by the next entry only while it is
    // small; without coalescing only an empty buffer takes the next entry.
    const UINT coalesceLimit = g_bCoalescing ? kCoalesceRoom : 0;

    while (!m_lstSendQueue.empty()) {
        Entry& head = m_lstSendQueue.front();
        const std::uint64_t now = SendQueueSeconds();
        if (IsStalled(head.stamp, now)) {
            AbandonAll(head.file->GetFileName());
            break;
        }
        if (!m_pBuffer) {
            m_pBuffer.reset(new (std::nothrow) char[kBufferSize + kCoalesceRoom]);
            if (!m_pBuffer) {
                AbandonAll(head.file->GetFileName());
                break;
            }
        }

        const UINT wanted = head.remaining < m_nBufferSize ? static_cast<UINT>(head.remaining) : m_nBufferSize;
        const UINT count = head.file->Read(m_pBuffer.get() + m_nDataEnd, wanted);
        if (head.file->Failed() || count != wanted) {
            // A failed read, or a file that became shorter than its announced
            // length: what was announced can no longer be delivered.
            AbandonAll(head.file->GetFileName());
            break;
        }
        m_nDataEnd += count;
        head.remaining -= count;

        if (count == m_nBufferSize) {
            head.stamp = SendQueueSeconds();
            m_bChunkFromHead = true;
            break;
        }
        // The entry is finished although its last bytes may still wait for
        // the socket: keep what the stall rule needs to know about them.
        m_strChunkFileName = head.file->GetFileName();
        m_nChunkStamp = head.stamp;
        m_bChunkFromHead = false;
        AppLog(L"Transmitting file %s completed...", m_strChunkFileName);
        CloseEntry(head);
        m_lstSendQueue.pop_front();
        if (m_nDataEnd > coalesceLimit) break;
    }

    if (m_nDataEnd == 0) m_pBuffer.reset();  // idle: the buffer returns when there is something to send
}
