// Request paths that try to leave the packages folder, or name a file some other way, get the 404 reply.
#include "server/ServerFixture.h"
#include "support/FolderLink.h"

using namespace server_test;

namespace {

class PathConfinementTest : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        ASSERT_TRUE(m_dir.MakeFile(L"secret.txt", "TOP SECRET"));
        ASSERT_TRUE(MakePackage(L"a.zip", "package a"));
        ASSERT_TRUE(MakePackage(L"sub/b.zip", "package b"));
        Connect(m_client);
    }

    // Every attempt gets exactly the 404 reply (so nothing of the secret) and
    // no 200 line in the log; returns its log lines.
    std::vector<std::wstring> ExpectNotFound(const std::string& method, const std::string& path) {
        EXPECT_TRUE(m_client.Send(method + " " + path + " HTTP/1.1\r\n\r\n"));
        CHttpClient::Reply reply;
        EXPECT_TRUE(m_client.ReceiveReply(reply, 10000)) << path;
        EXPECT_EQ(reply.head, kNotFoundHead) << path;
        Sync();
        const std::vector<std::wstring> lines = m_pLog->New();
        for (const auto& line : lines)
            EXPECT_EQ(line.find(L"200_OK"), std::wstring::npos) << path << ": " << WideToUtf8(line);
        return lines;
    }
    // The same, and the log says that the path was refused (naming the
    // decoded request path, when given).
    void ExpectRefused(const std::string& path, const std::optional<std::wstring>& decoded = std::nullopt) {
        const std::wstring prefix = L"UpdateAndCheckFilePath path refused => '";
        bool refused = false;
        for (const auto& line : ExpectNotFound("GET", path))
            refused = refused || (decoded ? line == prefix + *decoded + L"'" : line.rfind(prefix, 0) == 0);
        EXPECT_TRUE(refused) << path;
    }

    CHttpClient m_client;
};

TEST_F(PathConfinementTest, TraversalAndMalformedPaths) {
    std::string secretPath = WideToUtf8(m_dir.PathOf(L"secret.txt"));
    for (char& c : secretPath)
        if (c == '\\') c = '/';
    const std::string deepClimb = [] {
        std::string path = "/packages/";
        for (int i = 0; i < 140; ++i) path += "a/";
        for (int i = 0; i < 141; ++i) path += "../";
        return path + "secret.txt";
    }();
    const std::string longName = "/packages/" + std::string(300, 'x');

    ExpectRefused("/packages/../secret.txt", L"/packages/../secret.txt");
    ExpectRefused("/packages/..%2fsecret.txt", L"/packages/../secret.txt");
    ExpectRefused("/packages/%2e%2e/secret.txt", L"/packages/../secret.txt");
    ExpectRefused("/packages/%2E%2E%2Fsecret.txt", L"/packages/../secret.txt");
    ExpectRefused("/packages/./../secret.txt", L"/packages/./../secret.txt");
    ExpectRefused("/packages/.%2e/secret.txt", L"/packages/../secret.txt");
    ExpectRefused("/packages/sub/../../secret.txt", L"/packages/sub/../../secret.txt");
    ExpectRefused("/packages/..\\secret.txt", L"/packages/..\\secret.txt");
    ExpectRefused("/packages/..%5csecret.txt", L"/packages/..\\secret.txt");
    ExpectRefused("/packages/sub/..%5C..%5Csecret.txt", L"/packages/sub/..\\..\\secret.txt");
    // A NUL is logged as its escape.
    ExpectRefused("/packages/a.zip%00", L"/packages/a.zip\\x00");
    ExpectRefused("/packages/%00/../../secret.txt", L"/packages/\\x00/../../secret.txt");
    ExpectRefused(deepClimb, Utf8ToWideLossy(deepClimb));
    ExpectRefused(longName, Utf8ToWideLossy(longName));
    ExpectRefused("/packages/%2e%2e/ListFolderContents.asp", L"/packages/../ListFolderContents.asp");
    ExpectRefused("/../ListFolderContents.asp", L"/../ListFolderContents.asp");
    ExpectRefused("/sub/..%5c..%5cListFolderContents.asp", L"/sub/..\\..\\ListFolderContents.asp");
    ExpectNotFound("HEAD", "/packages/../secret.txt");
    ExpectNotFound("GET", "/packages/%252e%252e/secret.txt");       // decoded once: a name "%2e%2e"
    ExpectNotFound("GET", "/packages/%252e%252e%252fsecret.txt");
    ExpectNotFound("GET", "/packages/..%255csecret.txt");
    ExpectNotFound("GET", "/packages/%C0%AE%C0%AE/secret.txt");    // overlong dots: not UTF-8
    ExpectNotFound("GET", "/packages/%C0%AE%C0%AE%C0%AFsecret.txt");
    ExpectNotFound("GET", "/packages/..%C0%AFsecret.txt");
    ExpectNotFound("GET", "/packages/%E0%80%AE%E0%80%AE/secret.txt");
    ExpectNotFound("GET", "/packages/..%u2216secret.txt");
    ExpectNotFound("GET", "/packages/" + secretPath);                // an absolute path stays below the folder
    ExpectNotFound("GET", "/packages//" + secretPath);
    ExpectNotFound("GET", "/packages/%2e%2e%2f%2e%2e%2f" + secretPath);
    ExpectNotFound("GET", "/packages/C:%5csecret.txt");
    ExpectNotFound("GET", "/packages/c:/secret.txt");
    ExpectNotFound("GET", "/packages/\\\\127.0.0.1\\c$\\secret.txt");
    ExpectNotFound("GET", "/packages/%5c%5c%3f%5cC:%5csecret.txt");
    ExpectNotFound("GET", "/packages/....//secret.txt");
    ExpectNotFound("GET", "/..%2fsecret.txt");
    // Nothing of the above disturbed the connection.
    ASSERT_TRUE(m_client.Send("GET /packages/sub/b.zip HTTP/1.1\r\n\r\n"));
    CHttpClient::Reply reply;
    ASSERT_TRUE(m_client.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.body, "package b");
}

// Windows names one file in more ways than it is spelled; those are refused too.
TEST_F(PathConfinementTest, WindowsAliasesOfFiles) {
    if (plat::PathSeparator() != L'\\') GTEST_SKIP() << "the file system has no device names, streams or short names";
    const std::wstring longName = L"a package with a long name.zip";
    ASSERT_TRUE(MakePackage(longName, "long"));
    for (const char* path : {"/packages/CON", "/packages/nul", "/packages/NUL.txt", "/packages/com1", "/packages/LPT1.zip",
                             "/packages/CONIN$", "/packages/conout$", "/packages/sub/aux.zip", "/packages/a.zip::$DATA",
                             "/packages/a.zip:stream", "/packages/a.zip.", "/packages/a.zip%20", "/packages/a.zip.%20.",
                             "/packages/sub./b.zip", "/packages/sub%20/b.zip", "/packages/C:secret.txt",
                             "/packages/a*.zip", "/packages/a%3f.zip"}) {
        ExpectRefused(path);
    }
    const std::wstring shortName = testsupport::ShortName(PackagePath(longName));
    if (!shortName.empty() && shortName != longName) ExpectRefused("/packages/" + WideToUtf8(shortName));
}

}  // namespace
