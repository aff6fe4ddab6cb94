// Console lines of console mode: gathered in a log line batch, never reordered across threads.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "app/ConsolePrint.h"
#include "app/VelmoraServiceApp.h"
#include "common/LogSink.h"
#include "common/Utf8.h"
#include "support/TempDir.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

// Standard output goes to a file while the object lives.
class StandardOutputCapture {
  public:
    explicit StandardOutputCapture(const std::string& path) : m_strPath(path) {
        std::fflush(stdout);
        m_nSaved = ::dup(STDOUT_FILENO);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~StandardOutputCapture() {
        std::fflush(stdout);
        ::dup2(m_nSaved, STDOUT_FILENO);
        ::close(m_nSaved);
    }
    std::string Text() const {
        std::ifstream in(m_strPath, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

  private:
    std::string m_strPath;
    int m_nSaved = -1;
};

// An application in console mode, and a file for standard output to go to.
// Results are read inside the capture and checked after it, so that a
// failure's message reaches the real standard output.
class ConsolePrintTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.IsValid());
        m_pApp = new CVelmoraServiceApp(nullptr);
        m_pApp->m_bAutoDelete = FALSE;
        m_pApp->m_bConsoleMode = true;
    }
    void TearDown() override {
        if (m_pApp == nullptr) return;
        AfxSetCurrentApp(nullptr);
        delete m_pApp;
    }
    std::string CapturePath() const { return WideToUtf8(m_dir.PathOf(L"console.txt")); }

    CTempDir m_dir;
    CVelmoraServiceApp* m_pApp = nullptr;
};

TEST_F(ConsolePrintTest, BatchedLinesAreWrittenTogetherAndStayInOrderWithOtherThreads) {
    CVelmoraServiceApp* app = m_pApp;
    std::string during;
    std::string afterOtherThread;
    std::string beforeBatchEnd;
    std::string text;
    {
        StandardOutputCapture capture(CapturePath());
        {
            CLogLineBatch batch;
            app->Log(L"Request for: '%s'", L"/packages/a.zip");
            {
                CLogLineBatch inner;  // nested: only the outermost one writes
                app->Log(L"first %ld", 1L);
            }
            during = capture.Text();
            // A line from another thread comes after the lines gathered before it.
            std::thread([app] { app->Log(L"other thread"); }).join();
            afterOtherThread = capture.Text();
            app->Log(L"last");
            beforeBatchEnd = capture.Text();
        }
        app->Log(L"outside");
        text = capture.Text();
    }
    EXPECT_EQ(during, "") << "lines of an open batch were written one by one";
    EXPECT_EQ(afterOtherThread, "Request for: '/packages/a.zip'\nfirst 1\nother thread\n");
    EXPECT_EQ(beforeBatchEnd, afterOtherThread);
    EXPECT_EQ(text, "Request for: '/packages/a.zip'\nfirst 1\nother thread\nlast\noutside\n");
}

// A thread that keeps a batch open for its whole life (the listener) writes
// its console lines before it waits, or at the end of a pass once they are
// 50 ms old; not when the inner batch of one notification ends.
TEST_F(ConsolePrintTest, LinesOfALongBatchGoOutBeforeTheThreadWaitsOrWhenOld) {
    CVelmoraServiceApp* app = m_pApp;
    std::string afterNotification, afterBusyPass, afterLaterPass, beforeWait, text;
    {
        StandardOutputCapture capture(CapturePath());
        {
            CLogLineBatch threadLife;
            {
                CLogLineBatch notification;
                app->Log(L"a");
            }
            afterNotification = capture.Text();
            WriteGatheredLogLines(true);  // a pass ends, the next follows at once
            afterBusyPass = capture.Text();
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            WriteGatheredLogLines(true);
            afterLaterPass = capture.Text();
            app->Log(L"b");
            WriteGatheredLogLines();  // the thread is about to wait
            beforeWait = capture.Text();
            app->Log(L"c");
        }
        text = capture.Text();
    }
    EXPECT_EQ(afterNotification, "");
    EXPECT_EQ(afterBusyPass, "");
    EXPECT_EQ(afterLaterPass, "a\n");
    EXPECT_EQ(beforeWait, "a\nb\n");
    EXPECT_EQ(text, "a\nb\nc\n");
}

}  // namespace
