// The send queue against a scripted socket and files that record their reads and closes.
#include <cstring>

#include "server/ReplyTextFile.h"
#include "server/SendQueue.h"
#include "server/ServerFixture.h"

using namespace server_test;

namespace {

constexpr UINT kChunk = CSendQueue::kBufferSize;

// What happened to one file after the queue took it over.
struct FileRecord {
    std::vector<UINT> reads;  // counts returned
    int closes = 0;
};

class CRecordingFile final : public CFile {
  public:
    CRecordingFile(std::string bytes, std::wstring name, FileRecord& record, int failingRead = -1)
        : m_bytes(std::move(bytes)), m_name(std::move(name)), m_record(record), m_nFailingRead(failingRead) {}

    UINT Read(void* buffer, UINT count) override {
        m_dwError = 0;
        if (static_cast<int>(m_record.reads.size()) == m_nFailingRead) {
            m_dwError = 23;  // ERROR_CRC: the disk could not deliver
            m_record.reads.push_back(0);
            return 0;
        }
        const std::size_t left = m_bytes.size() - m_nPos;
        const UINT n = left < count ? static_cast<UINT>(left) : count;
        std::memcpy(buffer, m_bytes.data() + m_nPos, n);
        m_nPos += n;
        m_record.reads.push_back(n);
        return n;
    }
    ULONGLONG Seek(LONGLONG offset, UINT) override { return m_nPos = static_cast<std::size_t>(offset); }
    ULONGLONG GetLength() const override { return m_bytes.size(); }
    std::wstring GetFileName() const override { return m_name; }
    void Close() override { ++m_record.closes; }

  private:
    std::string m_bytes;
    std::wstring m_name;
    FileRecord& m_record;
    int m_nFailingRead;
    std::size_t m_nPos = 0;
};

// A socket that takes at most `budget` more bytes (unlimited when negative).
struct ScriptedSink final : CSendSink {
    long long budget = -1;
    std::string received;
    std::vector<int> offers;
    std::vector<const void*> firstBytes;  // where each offer's pieces lay

    int SendBytes(const char* data, int length) override {
        offers.push_back(length);
        const long long take = budget < 0 ? length : std::min<long long>(budget, length);
        if (take == 0) return -1;  // would block
        received.append(data, static_cast<std::size_t>(take));
        if (budget >= 0) budget -= take;
        return static_cast<int>(take);
    }
    // A gathered send is one offer, as the socket sees it.
    int SendPieces(const plat::SendPiece* pieces, int count) override {
        std::string joined;
        for (int i = 0; i < count; ++i) {
            firstBytes.push_back(pieces[i].data);
            joined.append(static_cast<const char*>(pieces[i].data), pieces[i].length);
        }
        return SendBytes(joined.data(), static_cast<int>(joined.size()));
    }
};

class SendQueueTest : public ::testing::Test {
  protected:
    void TearDown() override {
        SetTickCountForTests(std::nullopt);
        CSendQueue::SetCoalescing(true);
    }
    void QueueFile(const std::string& header, const std::string& bytes, FileRecord& record, int failingRead = -1,
                   std::wstring name = L"big.bin") {
        ASSERT_TRUE(m_queue.AppendFileReply(
            header, std::make_unique<CRecordingFile>(bytes, std::move(name), record, failingRead), bytes.size()));
    }

    TestLog m_log;
    CSendQueue m_queue;
    ScriptedSink m_sink;
};

using Lines = std::vector<std::wstring>;

TEST_F(SendQueueTest, ReadsWholeChunksAndCompletesAtTheLastReadBeforeItIsSent) {
    const std::string data = PatternBytes(3000000);
    FileRecord record;
    QueueFile("HEAD", data, record);
    m_sink.budget = 4 + 2 * kChunk;  // the header and two chunks, then the socket is full
    m_queue.SendPending(m_sink);

    EXPECT_EQ(record.reads, (std::vector<UINT>{kChunk, kChunk, 902848}));
    EXPECT_EQ(m_log.New(), (Lines{L"Transmitting file  completed...", L"Transmitting file big.bin completed..."}));
    EXPECT_EQ(record.closes, 1);
    EXPECT_EQ(m_queue.QueuedEntries(), 0u);
    EXPECT_TRUE(m_queue.IsWaiting());
    EXPECT_TRUE(m_queue.HasTransferBuffer());

    m_sink.budget = -1;
    m_queue.SendPending(m_sink);
    EXPECT_TRUE(m_sink.received == "HEAD" + data);
    EXPECT_TRUE(m_queue.IsIdle());
    EXPECT_FALSE(m_queue.HasTransferBuffer()) << "an idle connection keeps no transfer buffer";
}

TEST_F(SendQueueTest, ExactChunkAndEmptyFilesCompleteOnAnEmptyRead) {
    FileRecord exact, empty;
    QueueFile("H1", PatternBytes(kChunk), exact, -1, L"exact.bin");
    QueueFile("H2", "", empty, -1, L"empty.bin");
    ASSERT_TRUE(m_queue.AppendMemoryReply("after"));
    m_queue.SendPending(m_sink);

    EXPECT_EQ(exact.reads, (std::vector<UINT>{kChunk, 0}));
    EXPECT_EQ(empty.reads, (std::vector<UINT>{0}));
    EXPECT_EQ(exact.closes + empty.closes, 2);
    EXPECT_TRUE(m_sink.received == "H1" + PatternBytes(kChunk) + "H2after");
    EXPECT_EQ(m_log.New(), (Lines{L"Transmitting file  completed...", L"Transmitting file exact.bin completed...",
                                  L"Transmitting file  completed...", L"Transmitting file empty.bin completed...",
                                  L"Transmitting file  completed..."}));
}

TEST_F(SendQueueTest, FailedReadDropsTheQueueAndClosesEachFileOnce) {
    FileRecord failing, behind;
    QueueFile("HEAD", PatternBytes(3000000), failing, 1);
    QueueFile("NEXT", "queued behind", behind, -1, L"next.bin");
    m_queue.SendPending(m_sink);

    EXPECT_EQ(failing.reads.size(), 2u);
    EXPECT_EQ(failing.closes, 1);
    EXPECT_EQ(behind.closes, 1);
    EXPECT_TRUE(behind.reads.empty());
    EXPECT_TRUE(m_sink.received == "HEAD" + PatternBytes(3000000).substr(0, kChunk));
    EXPECT_EQ(m_log.New().back(), L"Transmitting file big.bin failed ... aborting sending");
    EXPECT_TRUE(m_queue.IsIdle());
    EXPECT_TRUE(m_queue.WasAbandoned()) << "the owner must learn that the reply was cut short";

    ASSERT_TRUE(m_queue.AppendMemoryReply("later"));
    m_queue.SendPending(m_sink);
    EXPECT_EQ(m_sink.received.substr(m_sink.received.size() - 5), "later");
}

TEST_F(SendQueueTest, SendsExactlyTheAnnouncedLength) {
    FileRecord grown, shrunk;
    ASSERT_TRUE(m_queue.AppendFileReply("A", std::make_unique<CRecordingFile>("0123456789", L"grown.bin", grown), 4));
    ASSERT_TRUE(m_queue.AppendFileReply("B", std::make_unique<CRecordingFile>("0123", L"shrunk.bin", shrunk), 10));
    m_queue.SendPending(m_sink);
    EXPECT_EQ(m_sink.received, "A0123B");
    EXPECT_EQ(m_log.New(), (Lines{L"Transmitting file  completed...", L"Transmitting file grown.bin completed...",
                                  L"Transmitting file  completed...",
                                  L"Transmitting file shrunk.bin failed ... aborting sending"}));
    EXPECT_EQ(grown.closes + shrunk.closes, 2);
}

TEST_F(SendQueueTest, SmallHeaderAndBodyLeaveInOneSendWithTheSameBytes) {
    FileRecord record;
    QueueFile("HEADER", "body", record);
    m_queue.SendPending(m_sink);
    EXPECT_EQ(m_sink.offers, (std::vector<int>{10}));

    CSendQueue::SetCoalescing(false);
    ScriptedSink separate;
    QueueFile("HEADER", "body", record);
    m_queue.SendPending(separate);
    EXPECT_EQ(separate.offers, (std::vector<int>{6, 4}));
    EXPECT_EQ(separate.received, m_sink.received);
}

// Reply texts and bytes kept in memory go out from where they lie, gathered
// into one send with the reply's header, and need no transfer buffer, also
// when the socket takes them in parts.
TEST_F(SendQueueTest, BytesInMemoryLeaveFromWhereTheyLieWithoutATransferBuffer) {
    const auto kept = std::make_shared<const std::string>(PatternBytes(3000));
    const auto listing = std::make_shared<const std::string>(PatternBytes(2 * kChunk + 5));
    struct Row {
        const char* what;
        std::unique_ptr<CFile> body;
        const std::string& expectedBody;
    };
    const auto keptName = std::make_shared<const std::wstring>(L"small.bin");
    Row rows[] = {{"kept package bytes", std::make_unique<CReplyTextFile>(kept, keptName), *kept},
                  {"listing larger than a chunk", std::make_unique<CReplyTextFile>(listing, nullptr), *listing}};
    for (Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedSink sink;
        const std::size_t length = row.expectedBody.size();
        ASSERT_TRUE(m_queue.AppendFileReply("HEADER", std::move(row.body), length));
        sink.budget = 4;
        m_queue.SendPending(sink);
        EXPECT_TRUE(m_queue.IsWaiting());
        EXPECT_FALSE(m_queue.HasTransferBuffer());
        sink.budget = -1;
        m_queue.SendPending(sink);
        EXPECT_TRUE(sink.received == "HEADER" + row.expectedBody);
        EXPECT_EQ(sink.firstBytes.at(1), row.expectedBody.data()) << "the body's bytes were not copied";
        EXPECT_FALSE(m_queue.HasTransferBuffer());
        EXPECT_TRUE(m_queue.IsIdle());
    }
}

TEST_F(SendQueueTest, ReplyQueuedWhileBytesWaitFollowsThem) {
    ASSERT_TRUE(m_queue.AppendMemoryReply("0123456789"));
    m_sink.budget = 4;
    m_queue.SendPending(m_sink);
    ASSERT_TRUE(m_queue.IsWaiting());
    ASSERT_TRUE(m_queue.AppendMemoryReply("abc"));
    m_queue.SendPending(m_sink);  // the socket is still full
    m_sink.budget = 3;
    m_queue.SendPending(m_sink);  // takes part of the waiting rest
    m_sink.budget = -1;
    m_queue.SendPending(m_sink);
    EXPECT_EQ(m_sink.received, "0123456789abc");
}

// A chunk that waits for a client that stopped reading is measured from the
// last byte the socket took, or from the moment the queue started sending.
TEST_F(SendQueueTest, WaitingChunkIsAbandonedAfterSixWholeMinutesWithoutProgress) {
    const std::uint64_t t0 = 7000000;  // seconds
    SetTickCountForTests(t0 * 1000);
    const std::string data = PatternBytes(3000000);
    FileRecord full, last;
    QueueFile("HEAD", data, full);
    SetTickCountForTests((t0 + 100) * 1000);  // the first chunk is loaded 100 s after queueing
    m_sink.budget = 4 + kChunk / 2;
    m_queue.SendPending(m_sink);
    ASSERT_TRUE(m_queue.IsWaiting());
    m_log.New();

    EXPECT_FALSE(m_queue.AbandonIfStalled(t0 + 459)) << "measured from the last byte taken, not from the queueing";
    // One more byte taken counts as progress too.
    SetTickCountForTests((t0 + 400) * 1000);
    m_sink.budget = 1;
    m_queue.SendPending(m_sink);
    EXPECT_FALSE(m_queue.AbandonIfStalled(t0 + 759));
    EXPECT_EQ(full.closes, 0);
    EXPECT_TRUE(m_queue.AbandonIfStalled(t0 + 760));
    EXPECT_EQ(m_log.New(), (Lines{L"Transmitting file big.bin failed ... aborting sending"}));
    EXPECT_EQ(full.closes, 1);
    EXPECT_TRUE(m_queue.IsIdle());
    EXPECT_FALSE(m_queue.HasTransferBuffer());
    EXPECT_TRUE(m_queue.WasAbandoned());
    m_sink.budget = -1;
    m_queue.SendPending(m_sink);
    EXPECT_EQ(m_sink.received.size(), 4 + kChunk / 2 + 1) << "dropped bytes were sent after all";

    // The last chunk of a finished entry waits: its entry is gone from the
    // queue, its name still counts; the entry queued behind it has not started.
    CSendQueue queue;
    ScriptedSink sink;
    SetTickCountForTests(t0 * 1000);
    ASSERT_TRUE(queue.AppendFileReply("H", std::make_unique<CRecordingFile>(data, L"last.bin", last), data.size()));
    ASSERT_TRUE(queue.AppendMemoryReply("behind"));
    sink.budget = 1 + 2 * kChunk + 100;
    queue.SendPending(sink);
    ASSERT_TRUE(queue.IsWaiting());
    ASSERT_EQ(last.closes, 1) << "the file entry was expected to be complete";
    m_log.New();
    EXPECT_FALSE(queue.AbandonIfStalled(t0 + 359));
    EXPECT_TRUE(queue.AbandonIfStalled(t0 + 360));
    EXPECT_EQ(m_log.New(), (Lines{L"Transmitting file last.bin failed ... aborting sending"}));
    EXPECT_TRUE(queue.IsIdle());
    EXPECT_EQ(last.closes, 1);
}

TEST_F(SendQueueTest, QueueThatIsNotWaitingIsLeftAlone) {
    SetTickCountForTests(1000);
    ASSERT_TRUE(m_queue.AppendMemoryReply("sent whole"));
    m_queue.SendPending(m_sink);
    ASSERT_TRUE(m_queue.IsIdle());
    EXPECT_FALSE(m_queue.AbandonIfStalled(100000));
    EXPECT_FALSE(m_queue.WasAbandoned());
    EXPECT_EQ(m_log.New(), (Lines{L"Transmitting file  completed..."}));
}

}  // namespace
