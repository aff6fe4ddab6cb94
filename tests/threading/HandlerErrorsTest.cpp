// The exception boundary around tracked handlers: one line per exception
// kind, in the order the kinds are tried, and the thread goes on.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "threading/HandlerErrors.h"
#include "threading/WorkerProbe.h"

using namespace threading_test;

namespace threading_test {

// A standard exception with nothing to say.
class QuietFailure : public std::exception {
  public:
    const char* what() const noexcept override { return ""; }
};

// Counts its own destruction, so the test sees the boundary delete it.
std::atomic<int> g_deletedExceptions{0};
class CountedException : public CSimpleException {
  public:
    using CSimpleException::CSimpleException;

  protected:
    ~CountedException() override { g_deletedExceptions.fetch_add(1); }
};

// Both a COM error and a standard exception: the COM kind is tried first.
class ComAndStdError : public CComError, public std::runtime_error {
  public:
    ComAndStdError() : CComError(0x1234ABCD, L"Both", L"kinds"), std::runtime_error("std") {}
};

}  // namespace threading_test

namespace {

constexpr std::int32_t kFail = static_cast<std::int32_t>(0x80004005u);

// What the handler of (kTracked, wParam) throws.
void Throw(WPARAM kind) {
    switch (kind) {
        case 1: throw CComError(kFail, L"Velmora.Store", L"The store is offline.");
        case 2: throw CComError(kFail);
        case 3: throw new CountedException(L"Disk gone");
        case 4: throw std::runtime_error("bad thing");
        case 5: throw QuietFailure();
        case 6: throw 42;
        case 7: throw std::runtime_error("\xff\xfe not UTF-8");
        case 8: throw new CountedException(std::wstring(300, L'x'));
        case 9: throw ComAndStdError();
        default: return;
    }
}

class HandlerErrors : public ::testing::Test {
  protected:
    void SetUp() override {
        m_journal.action = [](const Handled& h) {
            if (h.message == kTracked) Throw(h.wParam);
        };
        m_worker = StartProbeWorker(m_journal);
        ASSERT_NE(m_worker, nullptr);
    }
    void TearDown() override {
        if (m_worker) {
            EXPECT_TRUE(m_worker->StopThread());
            EXPECT_TRUE(m_journal.WaitDestroyed());
        }
    }

    // Sends (kTracked, kind) and returns the error line it produced.
    std::wstring LineFor(WPARAM kind) {
        const std::size_t before = m_journal.ErrorLines().size();
        EXPECT_EQ(m_worker->SendMessageTimeout(kTracked, kind, 0, 0xFFFFFFFF), 0u);
        auto lines = m_journal.ErrorLines();
        if (lines.size() != before + 1) return L"<" + std::to_wstring(lines.size() - before) + L" lines>";
        return lines.back();
    }

    Journal m_journal;
    ProbeWorker* m_worker = nullptr;
};

}  // namespace

TEST_F(HandlerErrors, EachKindYieldsItsLineAndTheSenderStillGetsCompletion) {
    EXPECT_EQ(LineFor(1),
              L"Thread 'Worker': Error when handling message 1025: Code 80004005 - [Velmora.Store] The store is "
              L"offline.");
    EXPECT_EQ(LineFor(2), L"Thread 'Worker': Error when handling message 1025: Code 80004005 - [(null)] (null)");

    const int deletedBefore = g_deletedExceptions.load();
    EXPECT_EQ(LineFor(3), L"Thread 'Worker': Error when handling message 1025: Disk gone");
    EXPECT_EQ(g_deletedExceptions.load(), deletedBefore + 1);

    EXPECT_EQ(LineFor(4),
              L"Thread 'Worker': Error when handling message 1025:\r\n\tSource: std::runtime_error\r\n\tDetails: bad "
              L"thing");
    EXPECT_EQ(LineFor(5),
              L"Thread 'Worker': Error when handling message 1025:\r\n\tSource: threading_test::QuietFailure\r\n\t"
              L"Details: ");
    EXPECT_EQ(LineFor(6), L"Thread 'Worker': Error when handling message 1025");
}

TEST_F(HandlerErrors, TextsAreBoundedAndKindsAreTriedInOrder) {
    // A what() that is not UTF-8 gives empty details.
    EXPECT_EQ(LineFor(7),
              L"Thread 'Worker': Error when handling message 1025:\r\n\tSource: std::runtime_error\r\n\tDetails: ");
    // The message buffer holds 255 characters with the terminator.
    const int deletedBefore = g_deletedExceptions.load();
    EXPECT_EQ(LineFor(8), L"Thread 'Worker': Error when handling message 1025: " + std::wstring(254, L'x'));
    EXPECT_EQ(g_deletedExceptions.load(), deletedBefore + 1);
    EXPECT_EQ(LineFor(9), L"Thread 'Worker': Error when handling message 1025: Code 1234ABCD - [Both] kinds");
}

TEST_F(HandlerErrors, ThreadHandlesItsNextMessagesNormallyAfterAFailure) {
    EXPECT_EQ(m_worker->SendMessageTimeout(kTracked, 4, 0, 0xFFFFFFFF), 0u);
    EXPECT_TRUE(m_worker->PostMessage(kTracked, 100, 0));
    EXPECT_TRUE(m_worker->SendMessage(kTracked, 101, 0));
    auto handled = m_journal.HandledMessages();
    ASSERT_EQ(handled.size(), 3u);
    EXPECT_EQ(handled[1].wParam, 100u);
    EXPECT_EQ(handled[2].wParam, 101u);
    EXPECT_EQ(m_journal.ErrorLines().size(), 1u);
}

TEST(HandlerErrorTypes, ExceptionMessageFitsTheCallersBuffer) {
    auto* e = new CSimpleException(L"abcdef");
    wchar_t buffer[4] = {L'?', L'?', L'?', L'?'};
    EXPECT_TRUE(e->GetErrorMessage(buffer, 4));
    EXPECT_EQ(std::wstring(buffer), L"abc");
    EXPECT_FALSE(e->GetErrorMessage(nullptr, 4));
    EXPECT_FALSE(e->GetErrorMessage(buffer, 0));
    e->Delete();

    auto* empty = new CSimpleException(L"");
    EXPECT_FALSE(empty->GetErrorMessage(buffer, 4));
    EXPECT_EQ(buffer[0], L'\0');
    empty->Delete();
}
