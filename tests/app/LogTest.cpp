#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/ApplicationRun.h"
#include "app/VelmoraService.h"
#include "app/VelmoraServiceApp.h"
#include "server/ServerConfig.h"
#include "server/ServerFigures.h"
#include "common/LogSink.h"
#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/MessageQueue.h"
#include "platform/ServiceCodes.h"
#include "platform/Text.h"
#include "platform/Win32Codes.h"
#include "server/HTTPUpdateServiceThread.h"
#include "service/ServiceFakes.h"
#include "threading/WinThread.h"

namespace fs = std::filesystem;

namespace {

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("velmora-log-" + std::to_string(plat::CurrentProcessId()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        m_app = new CVelmoraServiceApp(nullptr);
        m_app->m_bAutoDelete = FALSE;
    }
    void TearDown() override {
        AfxSetCurrentApp(nullptr);
        delete m_app;
        fs::remove_all(m_dir);
    }

    std::wstring LogPath(const char* name) const { return (m_dir / name).wstring(); }

    static std::string ReadAll(const std::wstring& path) {
        std::ifstream in(fs::path(path), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Splits at CR LF; every line must end with it.
    static std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t pos; (pos = text.find("\r\n", start)) != std::string::npos; start = pos + 2)
            lines.push_back(text.substr(start, pos - start));
        EXPECT_EQ(start, text.size()) << "text after the last CR LF";
        return lines;
    }

    // Local date and time to the second, ": ", process id, ": ", message.
    static std::string Prefix() { return ": " + std::to_string(plat::CurrentProcessId()) + ": "; }

    // The message part of every line of the file (none when it is missing).
    static std::vector<std::string> Messages(const std::wstring& path) {
        std::vector<std::string> messages;
        for (const auto& line : Lines(ReadAll(path))) {
            const std::size_t at = line.find(Prefix());
            messages.push_back(at == std::string::npos ? line : line.substr(at + Prefix().size()));
        }
        return messages;
    }

    fs::path m_dir;
    CVelmoraServiceApp* m_app = nullptr;
};

TEST_F(LogTest, LineIsLocalTimeProcessIdAndMessageEndingInCrLf) {
    m_app->SetLogFile(LogPath("log.txt"));
    m_app->Log(L"Request for: '%s'", L"/packages/a.zip");
    m_app->Log(L"Initialize Listener: PackagePath='%s', Port='%ld'", L"/srv/p/", 8080);
    const auto lines = Lines(ReadAll(LogPath("log.txt")));
    ASSERT_EQ(lines.size(), 2u);
    const std::regex form("^(.*\\d.*) (\\d{1,2}:\\d{2}:\\d{2}.*)" + Prefix() + "(.*)$");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, form)) << lines[0];
    EXPECT_EQ(m[3].str(), "Request for: '/packages/a.zip'");
    ASSERT_TRUE(std::regex_match(lines[1], m, form)) << lines[1];
    EXPECT_EQ(m[3].str(), "Initialize Listener: PackagePath='/srv/p/', Port='8080'");
}

// The date and time text is made once a second: every line shows the
// second of the clock when it was written, also after the clock moves on, is
// set forward or back.
TEST_F(LogTest, ALineWrittenAfterTheSecondChangesShowsTheNewSecond) {
    static std::int64_t s_now;
    s_now = plat::CurrentLocalSecond();
    m_app->SetLogClock([] { return s_now; });
    m_app->SetLogFile(LogPath("log.txt"));
    const std::int64_t start = s_now;
    const std::int64_t seconds[] = {start, start, start + 1, start + 3600, start};
    for (const std::int64_t second : seconds) {
        s_now = second;
        m_app->Log(L"%s", L"line");
    }
    const auto lines = Lines(ReadAll(LogPath("log.txt")));
    ASSERT_EQ(lines.size(), std::size(seconds));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::wstring time;
        plat::AppendLocalDateTimeText(time, seconds[i]);
        EXPECT_EQ(lines[i], plat::WideToAnsi(time) + Prefix() + "line") << i;
    }
    EXPECT_NE(lines[1], lines[2]);
    EXPECT_NE(lines[2], lines[3]);
    EXPECT_EQ(lines[0], lines[4]);
}

TEST_F(LogTest, AppendsToAnExistingFileAndKeepsMultiLineTextsIntact) {
    {
        std::ofstream(fs::path(LogPath("log.txt")), std::ios::binary) << "earlier line\r\n";
    }
    m_app->SetLogFile(LogPath("log.txt"));
    m_app->Log(L"%s", L"first\r\n\tSource: x\nsecond");
    const std::string text = ReadAll(LogPath("log.txt"));
    EXPECT_EQ(text.rfind("earlier line\r\n", 0), 0u);
    EXPECT_NE(text.find(Prefix() + "first\r\n\tSource: x\r\nsecond\r\n"), std::string::npos) << text;
}

// Every line break is stored as CR LF, and every line ends in one, but a CR
// already there is not doubled.
TEST_F(LogTest, LineBreaksAreStoredAsCrLfWithoutDoublingACr) {
    const struct {
        const wchar_t* message;
        const char* stored;
    } cases[] = {
        {L"", "\r\n"},
        {L"\n", "\r\n\r\n"},
        {L"ends in CR\r", "ends in CR\r\n"},
        {L"ends in LF\n", "ends in LF\r\n\r\n"},
        {L"a\r\nb\nc\n\nd\x7f", "a\r\nb\r\nc\r\n\r\nd\x7f\r\n"},
    };
    for (const auto& c : cases) {
        fs::remove(LogPath("log.txt"));
        m_app->SetLogFile(LogPath("log.txt"));
        m_app->Log(L"%s", c.message);
        const std::string text = ReadAll(LogPath("log.txt"));
        const std::size_t at = text.find(Prefix());
        ASSERT_NE(at, std::string::npos) << text;
        EXPECT_EQ(text.substr(at + Prefix().size()), c.stored) << text;
    }
}

TEST_F(LogTest, PercentSignsInsideAMessageStayLiteral) {
    m_app->SetLogFile(LogPath("log.txt"));
    const std::wstring hostile = L"/packages/100%25 %s %d %n %%.zip";
    m_app->Log(L"Request for: '%s'", hostile);
    m_app->Log(L"%s", hostile);
    const auto lines = Lines(ReadAll(LogPath("log.txt")));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(Prefix() + "Request for: '/packages/100%25 %s %d %n %%.zip'"), std::string::npos);
    EXPECT_NE(lines[1].find(Prefix() + "/packages/100%25 %s %d %n %%.zip"), std::string::npos);
}

TEST_F(LogTest, MissingFolderDropsLinesAndTheProgramGoesOn) {
    const std::wstring path = (m_dir / "no-such-folder" / "log.txt").wstring();
    m_app->SetLogFile(path);
    for (int i = 0; i < 3; ++i) m_app->Log(L"line %d", i);
    EXPECT_FALSE(fs::exists(fs::path(path)));
    // The figures count them (server/ServerFigures.h).
    EXPECT_EQ(m_app->ServerConfig()->m_pFigures->nLogLinesDropped.load(), 3u);
    // Once the folder exists, the next line recreates the file.
    fs::create_directories(m_dir / "no-such-folder");
    m_app->Log(L"after");
    EXPECT_EQ(Lines(ReadAll(path)).size(), 1u);
}

TEST_F(LogTest, ALogFileThatFailsIsReportedOnceWhenItFailsAndOnceWhenItWorksAgain) {
    const fs::path folder = m_dir / "later";
    const std::wstring path = (folder / "log.txt").wstring();
    const std::string failing = "The log file '" + WideToUtf8(path) + "' cannot be written (error ";
    const std::string again = "The log file '" + WideToUtf8(path) + "' is written again";
    auto run = [&] {
        fs::remove_all(folder);
        m_app->SetLogFile(path);
        for (int i = 0; i < 3; ++i) m_app->Log(L"dropped %d", i);
        fs::create_directories(folder);
        for (int i = 0; i < 2; ++i) m_app->Log(L"kept %d", i);
        EXPECT_EQ(Lines(ReadAll(path)).size(), 2u);
    };
    // Console mode: on standard error.
    ::testing::internal::CaptureStderr();
    run();
    const std::string console = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(console.find(failing), 0u) << console;
    EXPECT_NE(console.find("); its lines are dropped until it can be written again.\n" + again + ".\n"),
              std::string::npos) << console;
    // As a service: in the event log, whether or not log lines are copied there.
    FakeEventLog events;
    CVelmoraService service(L"VelmoraProbe", L"Velmora Probe", L"");
    m_app->m_pService = &service;
    run();
    const auto reported = events.Events();
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(WideToUtf8(reported[0].strings.at(0)).find(failing), 0u);
    EXPECT_EQ(reported[1].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(reported[1].strings, std::vector<std::wstring>{Utf8ToWideLossy(again)});
    m_app->m_pService = nullptr;
}

TEST_F(LogTest, NoLogFileMeansNoFile) {
    m_app->Log(L"nothing to write %d", 1);
    EXPECT_TRUE(fs::is_empty(m_dir));
    EXPECT_TRUE(m_app->GetLogFile().empty());
}

TEST_F(LogTest, ConcurrentThreadsWriteWholeLinesNeverInterleaved) {
    m_app->SetLogFile(LogPath("log.txt"));
    constexpr int kThreads = 6;
    constexpr int kLines = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            for (int i = 0; i < kLines; ++i)
                AppLog(L"thread %d line %d %s", t, i, std::wstring(40, static_cast<wchar_t>(L'a' + t)));
        });
    for (auto& th : threads) th.join();
    const auto lines = Lines(ReadAll(LogPath("log.txt")));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    const std::regex form(".*" + Prefix() + "thread (\\d) line (\\d+) ([a-z])\\3{39}$");
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, form)) << line;
        const int t = std::stoi(m[1].str());
        EXPECT_EQ(m[3].str()[0], 'a' + t);
        EXPECT_EQ(std::stoi(m[2].str()), next[t]++) << "lines of one thread keep their order";
    }
}

TEST_F(LogTest, WithoutCurrentApplicationOtherThreadsWriteNothing) {
    m_app->SetLogFile(LogPath("log.txt"));
    AfxSetCurrentApp(nullptr);
    AppLog(L"dropped");
    EXPECT_FALSE(fs::exists(m_dir / "log.txt"));
    AfxSetCurrentApp(m_app);
    AppLog(L"kept");
    EXPECT_EQ(Lines(ReadAll(LogPath("log.txt"))).size(), 1u);
}

TEST_F(LogTest, NonAsciiTextIsWrittenAsTheSystemsEightBitText) {
    m_app->SetLogFile(LogPath("log.txt"));
    m_app->Log(L"Request for: '%s'", L"/packages/caf\u00E9.zip");
    const std::string text = ReadAll(LogPath("log.txt"));
    EXPECT_NE(text.find("Request for: '/packages/caf" + plat::WideToAnsi(L"\u00E9") + ".zip'\r\n"),
              std::string::npos);
}

TEST_F(LogTest, LinesOfABatchAreAppendedWhenItEndsAfterOtherThreadsLinesOrBeforeTheyPassTheLimit) {
    m_app->SetLogFile(LogPath("log.txt"));
    const std::string x(40000, 'x'), y(40000, 'y');
    std::vector<std::vector<std::string>> seen;  // the file's messages after each step
    {
        CLogLineBatch batch;
        m_app->Log(L"first");
        AppLog(L"second");
        seen.push_back(Messages(LogPath("log.txt")));
        std::thread([] { AppLog(L"other thread"); }).join();
        seen.push_back(Messages(LogPath("log.txt")));
        m_app->Log(L"third");
        m_app->Log(L"%s", Utf8ToWideLossy(x));
        m_app->Log(L"%s", Utf8ToWideLossy(y));  // would take the gathered lines past 64 KiB
        seen.push_back(Messages(LogPath("log.txt")));
    }
    seen.push_back(Messages(LogPath("log.txt")));
    using Texts = std::vector<std::string>;
    EXPECT_EQ(seen[0], Texts{});
    EXPECT_EQ(seen[1], (Texts{"first", "second", "other thread"}));
    EXPECT_EQ(seen[2], (Texts{"first", "second", "other thread", "third", x}));
    EXPECT_EQ(seen[3], (Texts{"first", "second", "other thread", "third", x, y}));
}

constexpr UINT kStepMessage = WM_USER + 1;

// Holds a log line batch for its whole life, as the listener does, and never
// runs out of messages: every step logs a line and posts the next one; the
// last step waits inside its handler until the test lets it go.
class CBusyLoggingThread : public CWinThread {
    DECLARE_MESSAGE_MAP()

  public:
    static constexpr WPARAM kLastStep = 130;
    CBusyLoggingThread(HANDLE atLastStep, HANDLE release) : m_hAtLastStep(atLastStep), m_hRelease(release) {}
    BOOL InitInstance() override {
        m_pBatch = std::make_unique<CLogLineBatch>();
        return TRUE;
    }
    int ExitInstance() override {
        m_pBatch.reset();
        return CWinThread::ExitInstance();
    }
    void OnStep(WPARAM step, LPARAM) {
        AppLog(L"step %d", static_cast<int>(step));
        if (step < kLastStep) {
            PostThreadMessage(kStepMessage, step + 1, 0);
            return;
        }
        plat::SignalEvent(m_hAtLastStep);
        plat::WaitForObject(m_hRelease, INFINITE);
    }

  private:
    std::unique_ptr<CLogLineBatch> m_pBatch;
    HANDLE m_hAtLastStep, m_hRelease;
};

const MessageMap* CBusyLoggingThread::GetThisMessageMap() {
    static const MessageMapEntry entries[] = {OnMessage<&CBusyLoggingThread::OnStep>(kStepMessage)};
    static const MessageMap map = MessageMapOf<CWinThread>(entries);
    return &map;
}

TEST_F(LogTest, ABusyThreadAppendsTheLinesOfEachPassWithoutGoingIdle) {
    m_app->SetLogFile(LogPath("log.txt"));
    HANDLE atLastStep = plat::CreateEventObject(true, false);
    HANDLE release = plat::CreateEventObject(true, false);
    auto* busy = new CBusyLoggingThread(atLastStep, release);
    ASSERT_TRUE(busy->CreateThread());
    const DWORD id = busy->m_nThreadID;
    HANDLE thread = plat::DuplicateHandleObject(busy->m_hThread);
    ASSERT_TRUE(plat::PostToThread(id, kStepMessage, 0, 0));
    const bool reached = plat::WaitForObject(atLastStep, 10000) == WAIT_OBJECT_0;
    const auto whileBusy = Messages(LogPath("log.txt"));
    plat::SignalEvent(release);
    ASSERT_TRUE(plat::PostToThread(id, WM_QUIT, 0, 0));
    EXPECT_EQ(plat::WaitForObject(thread, 10000), WAIT_OBJECT_0);
    for (HANDLE handle : {thread, atLastStep, release}) plat::CloseHandleObject(handle);
    ASSERT_TRUE(reached);
    const auto all = Messages(LogPath("log.txt"));
    ASSERT_EQ(all.size(), CBusyLoggingThread::kLastStep + 1);
    for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], "step " + std::to_string(i));
    // Passes of earlier steps are in the file; the step still running is not.
    EXPECT_GE(whileBusy.size(), 64u);
    EXPECT_LT(whileBusy.size(), all.size());
    EXPECT_TRUE(std::equal(whileBusy.begin(), whileBusy.end(), all.begin()));
}

// A listener that never stops when asked: after its first pass it waits
// until the test lets it go, and then logs once more.
class CStuckListener : public CHTTPUpdateServiceThread {
  public:
    CStuckListener(std::shared_ptr<const CServerConfig> config, IListenerEvents* events, HANDLE stuck, HANDLE release)
        : CHTTPUpdateServiceThread(std::move(config), events, 50), m_hStuck(stuck), m_hRelease(release) {}
    void OnPassEnded(bool beforeWait) override {
        CHTTPUpdateServiceThread::OnPassEnded(beforeWait);
        if (m_bReleased) return;
        plat::SignalEvent(m_hStuck);
        plat::WaitForObject(m_hRelease, INFINITE);
        m_bReleased = true;
        AppLog(L"stuck listener let go");
    }

  private:
    HANDLE m_hStuck, m_hRelease;
    bool m_bReleased = false;
};

class CAppWithStuckListener : public CVelmoraServiceApp {
  public:
    CAppWithStuckListener(HANDLE stuck, HANDLE release)
        : CVelmoraServiceApp(nullptr), m_hStuck(stuck), m_hRelease(release) {}

  protected:
    CHTTPUpdateServiceThread* CreateListenerThread(std::shared_ptr<const CServerConfig> config,
                                                   ::IListenerEvents* events) override {
        // Its replies get no time to finish: a stuck listener never says they did.
        auto settings = std::make_shared<CServerConfig>(*config);
        settings->limits.nStopFinishMs = 0;
        auto* listener = new CStuckListener(std::move(settings), events, m_hStuck, m_hRelease);
        if (listener->CreateThread(CREATE_SUSPENDED)) return listener;
        delete listener;
        return nullptr;
    }

  private:
    HANDLE m_hStuck, m_hRelease;
};

DWORD g_endedWith = 0;
int g_endCount = 0;
void RecordEnd(DWORD exitCode) {
    g_endedWith = exitCode;
    ++g_endCount;
}

// The application thread ends while its listener still runs: the object
// stays for the listener, the end of the program waits a bounded time and
// then ends the process with the exit code it was given; once the listener
// has ended, the object goes.
TEST_F(LogTest, TheApplicationOutlivesAListenerThatDoesNotStop) {
    HANDLE stuck = plat::CreateEventObject(true, false);
    HANDLE release = plat::CreateEventObject(true, false);
    auto* app = new CAppWithStuckListener(stuck, release);
    app->SetLogFile(LogPath("log.txt"));
    app->m_nServerPort = 0;  // any free port
    ASSERT_TRUE(app->CreateThread(CREATE_SUSPENDED));
    HANDLE appThread = plat::DuplicateHandleObject(app->m_hThread);
    const DWORD appThreadId = app->m_nThreadID;
    app->ResumeThread();
    EXPECT_EQ(plat::WaitForObject(stuck, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(plat::PostToThread(appThreadId, WM_QUIT, 0, 0));
    EXPECT_EQ(plat::WaitForObject(appThread, 10000), WAIT_OBJECT_0);

    g_endCount = 0;
    EXPECT_EQ(EndProgram(-1, 50, &RecordEnd), -1);
    EXPECT_EQ(g_endCount, 1);
    EXPECT_EQ(g_endedWith, 0xFFFFFFFFu);

    // Let go, it logs through the object that stayed, and ends.
    plat::SignalEvent(release);
    EXPECT_EQ(EndProgram(-1, 10000, &RecordEnd), -1);
    EXPECT_EQ(g_endCount, 1);
    for (HANDLE handle : {appThread, stuck, release}) plat::CloseHandleObject(handle);
    const auto messages = Messages(LogPath("log.txt"));
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const std::string& message) {
        return message.rfind("Failed to stop thread 'HTTPUpdateServiceThread' (result 258,", 0) == 0;
    }));
    EXPECT_NE(std::find(messages.begin(), messages.end(), "stuck listener let go"), messages.end());
}

}  // namespace
