// A connection's send queue: reply texts sent from their own bytes, files streamed in chunks.
//
// A reply is appended as its text (a header, a whole reply) or as a file
// object (the open disk file of a package, or bytes kept in memory). Only
// the head entry is taken, one chunk of up to kBufferSize bytes at a time,
// and only once the previous chunk was taken by the socket whole: a text or
// bytes in memory go to the socket from where they are, a package's bytes
// through the one transfer buffer (or straight from the file), so at most
// one chunk per connection is read into memory. Progress is any byte the socket takes; a queue whose bytes wait
// for a socket that has taken nothing for kStallSeconds (six whole minutes,
// i.e. "more than five") is abandoned whole by AbandonIfStalled, which its
// owner calls now and then. An abandoned queue has broken the client's
// Content-Length framing; its owner closes the connection.
//
// The transfer buffer exists only while the connection has file bytes to
// send: it is allocated when the first chunk is read and released as soon
// as a chunk needs none, so idle connections cost no buffer.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/File.h"
#include "platform/SendPiece.h"
#include "platform/TransferChunk.h"
#include "server/Budget.h"

class CReplyTextFile;

// Where the queue hands its bytes: returns the count accepted (possibly
// fewer than offered) or a negative value when nothing was accepted. When
// not everything was accepted, the owner calls SendPending again once the
// socket can take more.
class CSendSink {
  public:
    // SendFileBytes's result when the file ended before the bytes asked for.
    static constexpr int kFileEnded = -2;

    virtual int SendBytes(const char* data, int length) = 0;
    // Sends `count` pieces (at most plat::kMaxSendPieces) in order as
    // one stream, with SendBytes's result. The base offers them one by one.
    virtual int SendPieces(const plat::SendPiece* pieces, int count);

    // Whether `file`'s bytes can be sent without reading them into the
    // transfer buffer (the queue asks before it takes a chunk that way).
    virtual bool SendsFileBytes(const CFile& /*file*/) const { return false; }
    // Sends `headLength` bytes of `head` (buffered bytes that go first) and
    // then `length` bytes of `file` from `offset`, as one stream. Returns
    // the count accepted, head included, a negative value when nothing was
    // accepted, or kFileEnded when the file has fewer bytes than asked.
    virtual int SendFileBytes(const char* /*head*/, int /*headLength*/, CFile& /*file*/, ULONGLONG /*offset*/,
                              int /*length*/) {
        return -1;
    }

  protected:
    ~CSendSink() = default;
};

class CSendQueue {
  public:
    // Size of every read from a queued file: the transfer's one chunk size.
    static constexpr UINT kBufferSize = plat::kTransferChunkBytes;
    // Seconds without progress after which the queue is abandoned.
    static constexpr std::uint64_t kStallSeconds = 360;
    // File bytes sent straight from the file per SendPending call at most (0:
    // no limit): two chunks, after which the connection asks to be called
    // again and the others have their turn. Measured on loopback, a turn of
    // one chunk costs a quarter more CPU per byte (twice the round trips
    // through the wait); a turn of two keeps the memory of one chunk.
    static constexpr UINT kChunksPerTurn = 2;
    static constexpr UINT kFileBytesPerCall = kChunksPerTurn * plat::kTransferChunkBytes;
    // Room behind a finished small entry for the next entry's first chunk:
    // a reply header and the start of its body leave in one send, so a
    // small reply never waits between two segments for a delayed
    // acknowledgement. The bytes on the wire are the same either way.
    static constexpr UINT kCoalesceRoom = 4096;

    CSendQueue() = default;
    // Closes the file of every entry still queued; bytes in the buffer are dropped.
    ~CSendQueue();
    CSendQueue(const CSendQueue&) = delete;
    CSendQueue& operator=(const CSendQueue&) = delete;

    // Appends `text` as an entry sent from its own bytes. False (nothing
    // queued) when memory runs out.
    bool AppendMemoryReply(std::string text);
    // Appends the in-memory `header` and then `file`. The queue owns the
    // file from here on (and `lease`, what it holds of the server's budgets,
    // given back when the file is closed) and sends exactly `length` bytes
    // of it from `offset`: a file that turns out shorter fails, bytes beyond
    // it are not sent.
    bool AppendFileReply(std::string header, std::unique_ptr<CFile> file, ULONGLONG length, ULONGLONG offset = 0,
                         CBudgetLease lease = {});

    // A reply whose bytes are not known yet keeps its place with a pending
    // entry (`token`, non-zero, names it): nothing behind it is sent until
    // it is resolved with its reply, in its place.
    bool AppendPending(std::uint64_t token);
    // The token of the head entry when it is pending, else 0.
    std::uint64_t PendingHeadToken() const;
    bool HasPending(std::uint64_t token) const;
    // Replaces the pending entry `token` by a reply text, or by a file
    // reply as AppendFileReply queues one. False (the entry dropped, the
    // file closed) when memory runs out; the owner then gives the
    // connection up, since the client can no longer tell replies apart.
    bool ResolveWithText(std::uint64_t token, std::string text);
    bool ResolveWithFile(std::uint64_t token, std::string header, std::unique_ptr<CFile> file, ULONGLONG length,
                         ULONGLONG offset = 0, CBudgetLease lease = {});
    // Replaces the pending entry `token` by one entry read from `file` (a
    // reply in memory that holds `memoryBytes`).
    bool ResolveWithReplyFile(std::uint64_t token, std::unique_ptr<CFile> file, std::uint64_t memoryBytes);
    // Closes every entry and drops the chunk, without a log line (the connection is closing).
    void DropAll();
    // Entries that hold a budget lease (a package's open file).
    std::size_t LeasedEntries() const { return m_nLeasedEntries; }

    // Hands buffered bytes to `sink`, refilling from the queue, until the
    // queue is empty or the sink takes less than offered, or (returning
    // true) once kFileBytesPerCall bytes of files sent straight from their
    // file went in this call: the sender then asks to be called again when
    // the socket can take more, after the others' turns.
    bool SendPending(CSendSink& sink);

    // The stall rule for a chunk that waits for the socket: when the socket
    // has taken no byte for kStallSeconds at `nowSeconds` (counted from the
    // moment the queue last started sending, if it has taken none since),
    // logs the failure, drops the waiting bytes and every entry, and
    // returns true. A queue that is not waiting is left alone: it is either
    // idle or sending.
    bool AbandonIfStalled(std::uint64_t nowSeconds);
    // A transfer was abandoned (stall, failed read, short file, no memory):
    // the client can no longer tell where a reply ends.
    bool WasAbandoned() const { return m_bAbandoned; }

    // Nothing queued and nothing waiting.
    bool IsIdle() const { return m_lstSendQueue.empty() && ChunkEnd() == m_nSendPos; }
    // Part of a chunk waits for the socket to take it.
    bool IsWaiting() const { return !m_bBufferFree; }
    bool HasTransferBuffer() const { return m_pBuffer != nullptr; }
    std::size_t QueuedEntries() const { return m_lstSendQueue.size(); }
    // Bytes of reply text held by queued entries (package files not counted).
    std::uint64_t QueuedMemoryBytes() const { return m_nMemoryBytes; }

    // Process-wide switch for putting a small finished entry and the next
    // entry's first chunk into one send (on by default); for measurements.
    static void SetCoalescing(bool on);
    // Process-wide limit in place of kFileBytesPerCall; for measurements.
    static void SetFileBytesPerCall(UINT bytes);

  private:
    struct Entry {
        Entry(std::unique_ptr<CFile> file, ULONGLONG remaining, std::uint64_t memoryBytes, ULONGLONG taken = 0)
            : file(std::move(file)), remaining(remaining), memoryBytes(memoryBytes), taken(taken) {}
        // A reply text.
        explicit Entry(std::string text) : remaining(text.size()), memoryBytes(text.size()), text(std::move(text)) {}

        std::unique_ptr<CFile> file;  // null for a text, and while pending
        ULONGLONG remaining;    // bytes still to read
        std::uint64_t memoryBytes;  // reply text this entry holds in memory
        ULONGLONG taken = 0;    // file offset of the next byte: read, or left in the file for the socket
        bool leftInFile = false;  // some were taken without reading (the file position lags)
        std::uint64_t pendingToken = 0;  // non-zero: a placeholder for a reply still to come
        CBudgetLease lease;     // what the entry holds of the server's budgets
        std::string text;       // a text's bytes (no file)
        const CReplyTextFile* memory = nullptr;  // the file when it holds its bytes in memory
    };
    static Entry TextEntry(std::string text);
    // The name the transfer's log lines give the entry (empty for a text).
    static std::wstring NameOf(const Entry& entry) { return entry.file ? entry.file->GetFileName() : std::wstring(); }
    // Whether the entry's bytes are sent from where they are, not read.
    static bool InMemory(const Entry& entry) { return !entry.file || entry.memory != nullptr; }
    // Entries for a file reply: its header, then the file from `offset`.
    static bool MakeFileEntries(std::string header, std::unique_ptr<CFile> file, ULONGLONG length, ULONGLONG offset,
                                CBudgetLease lease, Entry& headerEntry, Entry& fileEntry);
    // Puts `entries` where the pending entry `token` is.
    bool Replace(std::uint64_t token, Entry* entries, std::size_t count);

    // Adds `length` bytes at `data` to the chunk (the caller made sure of room for the piece).
    void AddPiece(const char* data, UINT length);
    // Takes the next `wanted` bytes of a text or of bytes in memory into the
    // chunk as pieces (false when the queue was abandoned instead: no memory).
    bool TakeInMemory(Entry& head, UINT wanted);
    // Offers the chunk's pieces from `position` on (false: none left).
    int OfferPieces(CSendSink& sink, UINT position, UINT* offered) const;
    // Releases the texts and memory files whose bytes the finished chunk held.
    void ReleaseHeld();

    // One offer of the rest of the current chunk to the sink.
    struct Offer {
        int offered = 0;
        int accepted = 0;
        UINT fileBytesTaken = 0;  // of `accepted`, bytes sent from the file
        bool wholeChunk = true;   // the offer was the whole rest of the chunk
        bool fileEnded = false;   // the file has fewer bytes than the chunk marks
    };
    Offer OfferRest(CSendSink& sink, UINT fileBytesAllowed);
    // Loads the next chunk of the head entry into the buffer. A full chunk
    // of a file that `sink` can send directly is only marked (m_nFileBytes)
    // and stays in the file until the socket takes it.
    void FillBuffer(const CSendSink& sink);
    // FillBuffer's steps: start an empty chunk; mark a whole chunk that stays
    // in the file; read the head entry's next bytes after the chunk's data
    // (false when the queue was abandoned instead, or when the buffer has no
    // room left and the entry waits for the next chunk); drop the finished head entry.
    void BeginChunk(const CSendSink& sink);
    void LeaveChunkInFile(Entry& head, UINT size);
    bool ReadIntoChunk(Entry& head, UINT wanted, const CSendSink& sink);
    void FinishHeadEntry();
    // End of the current chunk: the pieces, then the marked file bytes.
    UINT ChunkEnd() const { return m_nDataEnd + m_nFileBytes; }
    // Forgets the current chunk (buffered and marked bytes).
    void ClearChunk();
    // Logs `fileName` as failed, closes and drops every entry, and marks the
    // queue abandoned. Bytes of finished entries already in the buffer stay.
    void AbandonAll(const std::wstring& fileName);
    void CloseEntry(Entry& entry);
    void PopHead();
    bool Append(Entry&& entry);
    void Count(const Entry& entry) {
        m_nMemoryBytes += entry.memoryBytes;
        if (entry.lease.Holds()) ++m_nLeasedEntries;
    }

    // The stall rule: no progress since `stamp` for kStallSeconds or more at `now`.
    static bool IsStalled(std::uint64_t stamp, std::uint64_t now) { return now >= stamp && now - stamp >= kStallSeconds; }

    // The bytes the next chunk copies at most: a small reply gets a small
    // buffer, and a reply head before a file sent from the file only its own size.
    UINT ChunkCapacityNeeded(const CSendSink& sink) const;
    // The size of the next read from `entry`: what is left of it, up to a full chunk.
    UINT NextReadSize(const Entry& entry) const {
        return entry.remaining < m_nBufferSize ? static_cast<UINT>(entry.remaining) : m_nBufferSize;
    }

    std::unique_ptr<char[]> m_pBuffer;  // m_nBufferCapacity bytes while in use
    UINT m_nBufferCapacity = 0;
    UINT m_nBufferUsed = 0;   // bytes of the buffer that the chunk's pieces hold
    UINT m_nBufferSize = kBufferSize;
    UINT m_nSendPos = 0;
    UINT m_nDataEnd = 0;      // bytes of the chunk's pieces
    // The chunk's bytes before its file bytes, in order: reply texts and
    // bytes in memory where they lie, a package's bytes in the buffer.
    // Fewer than a gathered send may take: the pieces live in every
    // connection, and eight hold four pipelined replies of cached packages.
    static constexpr int kMaxPieces = 8;
    static_assert(kMaxPieces <= plat::kMaxSendPieces);
    plat::SendPiece m_pieces[kMaxPieces];
    int m_nPieces = 0;
    // Finished entries whose bytes the chunk's pieces point into, kept until
    // the chunk has gone (a list: its elements never move, and an empty one
    // holds no memory, as an idle connection's must not).
    std::list<std::string> m_lstHeldTexts;
    std::vector<std::unique_ptr<CFile>> m_lstHeldFiles;
    // A full chunk of the head entry's file that follows the buffered bytes
    // and is sent straight from the file: its length and file offset.
    UINT m_nFileBytes = 0;
    ULONGLONG m_nFileOffset = 0;
    bool m_bBufferFree = true;
    std::deque<Entry> m_lstSendQueue;
    // Where the buffer's last bytes came from: the head entry (a full chunk)
    // or an entry already completed and removed, whose file name is kept
    // here for the log line of an abandoned transfer.
    bool m_bChunkFromHead = false;
    std::wstring m_strChunkFileName;
    // Whole seconds at the socket's last progress, or at the moment the
    // queue last started sending.
    std::uint64_t m_nProgressStamp = 0;
    std::uint64_t m_nMemoryBytes = 0;
    std::size_t m_nLeasedEntries = 0;
    bool m_bAbandoned = false;
};

// The stall rule's clock: whole seconds of TickCount64().
std::uint64_t SendQueueSeconds();
