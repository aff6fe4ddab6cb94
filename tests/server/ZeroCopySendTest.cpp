// The send queue with a socket that takes full chunks straight from the file: same bytes, log lines, file lifetime and stall rule.
#include <cstring>

#include "server/SendQueue.h"
#include "server/ServerFixture.h"

using namespace server_test;

namespace {

constexpr UINT kChunk = CSendQueue::kBufferSize;

struct FileRecord {
    std::vector<UINT> reads;  // counts returned by Read
    int closes = 0;
    bool open = true;
};

// A file whose bytes a sink may fetch directly (as sendfile does), and that
// may shrink on disk after it was queued.
class CDirectFile final : public CFile {
  public:
    CDirectFile(std::string bytes, std::wstring name, FileRecord& record)
        : m_bytes(std::move(bytes)), m_name(std::move(name)), m_record(record) {}

    UINT Read(void* buffer, UINT count) override {
        m_dwError = 0;
        const std::size_t left = m_nPos < m_bytes.size() ? m_bytes.size() - m_nPos : 0;
        const UINT n = left < count ? static_cast<UINT>(left) : count;
        if (n > 0) std::memcpy(buffer, m_bytes.data() + m_nPos, n);
        m_nPos += n;
        m_record.reads.push_back(n);
        return n;
    }
    ULONGLONG Seek(LONGLONG offset, UINT) override { return m_nPos = static_cast<std::size_t>(offset); }
    ULONGLONG GetLength() const override { return m_bytes.size(); }
    std::wstring GetFileName() const override { return m_name; }
    void Close() override {
        ++m_record.closes;
        m_record.open = false;
    }

    // What a sendfile of the file would hand over.
    std::string BytesAt(ULONGLONG offset, int length) const {
        if (!m_record.open || offset >= m_bytes.size()) return std::string();
        return m_bytes.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
    }
    void ShrinkTo(std::size_t size) { m_bytes.resize(size); }

  private:
    std::string m_bytes;
    std::wstring m_name;
    FileRecord& m_record;
    std::size_t m_nPos = 0;
};

// A socket that takes at most `budget` more bytes (unlimited when negative)
// and sends CDirectFile bytes without the queue reading them.
struct DirectSink final : CSendSink {
    long long budget = -1;
    std::string received;
    std::vector<std::pair<int, int>> fileCalls;  // (head length, file length) of each SendFileBytes

    int Take(const std::string& bytes) {
        const long long take = budget < 0 ? static_cast<long long>(bytes.size())
                                          : std::min<long long>(budget, static_cast<long long>(bytes.size()));
        received.append(bytes, 0, static_cast<std::size_t>(take));
        if (budget >= 0) budget -= take;
        return take == 0 && !bytes.empty() ? -1 : static_cast<int>(take);
    }
    int SendBytes(const char* data, int length) override { return Take(std::string(data, length)); }
    bool SendsFileBytes(const CFile& file) const override { return dynamic_cast<const CDirectFile*>(&file) != nullptr; }
    int SendFileBytes(const char* head, int headLength, CFile& file, ULONGLONG offset, int length) override {
        fileCalls.emplace_back(headLength, length);
        const std::string body = static_cast<CDirectFile&>(file).BytesAt(offset, length);
        if (body.empty() && length > 0) return kFileEnded;
        return Take(std::string(head ? head : "", static_cast<std::size_t>(headLength)) + body);
    }
};

class ZeroCopySendTest : public ::testing::Test {
  protected:
    void TearDown() override { SetTickCountForTests(std::nullopt); }

    CDirectFile* QueueFile(const std::string& header, const std::string& bytes, FileRecord& record,
                           std::wstring name = L"big.bin") {
        auto file = std::make_unique<CDirectFile>(bytes, std::move(name), record);
        CDirectFile* raw = file.get();
        EXPECT_TRUE(m_queue.AppendFileReply(header, std::move(file), bytes.size()));
        return raw;
    }

    TestLog m_log;
    CSendQueue m_queue;
    DirectSink m_sink;
};

using Lines = std::vector<std::wstring>;

TEST_F(ZeroCopySendTest, FullChunksLeaveFromTheFileAndOnlyTheLastChunkIsRead) {
    const std::string data = PatternBytes(3000000);
    FileRecord record;
    QueueFile("HEAD", data, record);
    m_sink.budget = 4 + kChunk;  // the header and the first chunk, then the socket is full
    m_queue.SendPending(m_sink);

    ASSERT_FALSE(m_sink.fileCalls.empty());
    EXPECT_EQ(m_sink.fileCalls.front(), std::make_pair(4, static_cast<int>(kChunk)))
        << "the header leaves with the start of its body";
    EXPECT_TRUE(record.reads.empty());
    EXPECT_TRUE(record.open);
    EXPECT_EQ(m_log.New(), (Lines{L"Transmitting file  completed..."}));
    EXPECT_FALSE(m_queue.HasTransferBuffer()) << "a chunk sent from the file needs no transfer buffer";

    m_sink.budget = kChunk;  // the second chunk
    m_queue.SendPending(m_sink);
    EXPECT_EQ(record.reads, (std::vector<UINT>{902848})) << "the last chunk is read, so the file can close";
    EXPECT_EQ(record.closes, 1);
    EXPECT_EQ(m_log.New(), (Lines{L"Transmitting file big.bin completed..."}));
    EXPECT_TRUE(m_queue.IsWaiting());

    m_sink.budget = -1;
    m_queue.SendPending(m_sink);
    EXPECT_TRUE(m_sink.received == "HEAD" + data);
    EXPECT_TRUE(m_queue.IsIdle());
}

TEST_F(ZeroCopySendTest, FileOfWholeChunksStaysOpenUntilItsLastChunkIsTaken) {
    const std::string data = PatternBytes(2 * kChunk);
    FileRecord record;
    QueueFile("H", data, record, L"exact.bin");
    ASSERT_TRUE(m_queue.AppendMemoryReply("after"));
    m_sink.budget = 1 + kChunk + kChunk / 2;
    m_queue.SendPending(m_sink);
    EXPECT_TRUE(record.open) << "half of the last chunk still comes from the file";
    EXPECT_TRUE(m_queue.IsWaiting());

    m_sink.budget = -1;
    m_queue.SendPending(m_sink);
    EXPECT_EQ(record.reads, (std::vector<UINT>{0}));
    EXPECT_EQ(record.closes, 1);
    EXPECT_TRUE(m_sink.received == "H" + data + "after");
    EXPECT_EQ(m_log.New(), (Lines{L"Transmitting file  completed...", L"Transmitting file exact.bin completed...",
                                  L"Transmitting file  completed..."}));
}

TEST_F(ZeroCopySendTest, FileThatShrankUnderTheSocketIsAbandoned) {
    FileRecord record, behind;
    CDirectFile* file = QueueFile("HEAD", PatternBytes(3 * kChunk), record);
    QueueFile("NEXT", "queued behind", behind, L"next.bin");
    m_sink.budget = 4 + kChunk;
    m_queue.SendPending(m_sink);
    file->ShrinkTo(kChunk + 10);

    m_sink.budget = -1;
    m_queue.SendPending(m_sink);  // the ten bytes left, like a short send
    EXPECT_FALSE(m_queue.WasAbandoned());
    m_queue.SendPending(m_sink);  // the writable notification that follows finds the end
    EXPECT_EQ(m_log.New().back(), L"Transmitting file big.bin failed ... aborting sending");
    EXPECT_TRUE(m_queue.WasAbandoned());
    EXPECT_TRUE(m_queue.IsIdle());
    EXPECT_EQ(record.closes, 1);
    EXPECT_EQ(behind.closes, 1);
    EXPECT_EQ(m_sink.received.size(), 4 + kChunk + 10);
}

TEST_F(ZeroCopySendTest, ChunkWaitingInTheFileFollowsTheStallRule) {
    const std::uint64_t t0 = 9000000;  // seconds
    SetTickCountForTests(t0 * 1000);
    FileRecord record;
    QueueFile("HEAD", PatternBytes(3 * kChunk), record);
    SetTickCountForTests((t0 + 50) * 1000);  // the first chunk is taken 50 s after queueing
    m_sink.budget = 100;
    m_queue.SendPending(m_sink);
    ASSERT_TRUE(m_queue.IsWaiting());
    m_log.New();

    EXPECT_FALSE(m_queue.AbandonIfStalled(t0 + 409)) << "measured from the last byte taken";
    EXPECT_TRUE(record.open);
    EXPECT_TRUE(m_queue.AbandonIfStalled(t0 + 410));
    EXPECT_EQ(m_log.New(), (Lines{L"Transmitting file big.bin failed ... aborting sending"}));
    EXPECT_EQ(record.closes, 1);
    EXPECT_TRUE(m_queue.IsIdle());
}

}  // namespace

namespace {

// With a limit per call, a transfer that the socket would take whole goes
// out in turns of that many file bytes, each call saying that more waits;
// the bytes are the same, in order.
// A large download takes one chunk per turn: each call sends at most one
// chunk of the file and says whether more waits.
TEST_F(ZeroCopySendTest, ALargeDownloadYieldsAfterItsChunksPerTurn) {
    const std::string data = PatternBytes(3 * CSendQueue::kChunksPerTurn * kChunk);
    FileRecord record;
    QueueFile("HEAD", data, record);
    int calls = 1;
    while (m_queue.SendPending(m_sink) && calls < 100) ++calls;
    EXPECT_EQ(calls, 3);
    for (const auto& [head, file] : m_sink.fileCalls) EXPECT_LE(static_cast<UINT>(file), kChunk);
    EXPECT_TRUE(m_sink.received == "HEAD" + data);
}

TEST_F(ZeroCopySendTest, FileBytesGoOutInTurnsOfTheLimit) {
    const std::string data = PatternBytes(3 * kChunk + 1000);
    FileRecord record;
    QueueFile("HEAD", data, record);
    const UINT turn = 256 * 1024;
    CSendQueue::SetFileBytesPerCall(turn);
    int calls = 1;
    while (m_queue.SendPending(m_sink) && calls < 100) ++calls;
    CSendQueue::SetFileBytesPerCall(CSendQueue::kFileBytesPerCall);
    EXPECT_EQ(calls, 3 * kChunk / turn) << "one call per limit's worth of the whole chunks; the last also sends the tail";
    for (const auto& [head, file] : m_sink.fileCalls) EXPECT_LE(static_cast<UINT>(file), turn);
    EXPECT_TRUE(m_sink.received == "HEAD" + data);
    EXPECT_TRUE(m_queue.IsIdle());
}

}  // namespace
