// Routing as a function: each request's reply and log lines, from the files on disk alone.
#include "platform/RequestPathRules.h"
#include "server/Replies.h"
#include "server/RequestRouting.h"
#include "server/ServerFixture.h"

using namespace server_test;

namespace {

using Lines = std::vector<std::wstring>;

// The kind of a routed reply, in the order of its alternatives.
enum class Kind { Text, File, Listing, Deferred };
Kind KindOf(const RoutedReply& reply) { return static_cast<Kind>(reply.index()); }

// The lines logged while routing, then the status line the connection writes for the reply.
Lines LinesOf(const Lines& routed, const RoutedReply& reply) {
    Lines lines = routed;
    const std::wstring* line = nullptr;
    if (const auto* text = std::get_if<RoutedText>(&reply)) line = &text->statusLine;
    if (const auto* deferred = std::get_if<RoutedDeferredPackage>(&reply))
        line = deferred->statusLine ? &*deferred->statusLine : nullptr;
    if (line != nullptr && !line->empty()) lines.push_back(*line);
    return lines;
}

// The folder of a listing, the package of a deferred open; empty otherwise.
std::wstring TargetOf(const RoutedReply& reply) {
    if (const auto* listing = std::get_if<RoutedListing>(&reply)) return listing->folder;
    if (const auto* deferred = std::get_if<RoutedDeferredPackage>(&reply)) return deferred->fullPath;
    return {};
}

TEST(RequestRouting, EachRequestGetsItsReplyAndLines) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"packages/sub/a.zip", "hello"));
    const std::wstring packages = dir.PathOf(L"packages") + plat::PathSeparator();
    const std::wstring file = dir.PathOf(L"packages/sub/a.zip");
    const std::wstring sub = dir.PathOf(L"packages/sub");
    const std::wstring folder = dir.PathOf(L"packages");
    struct Case {
        const wchar_t* method;
        const wchar_t* path;
        bool mayOpen;
        Kind kind;
        std::string text;     // Text: the reply
        std::wstring target;  // File, Listing, Deferred: the full path (File: empty, the file is open)
        Lines lines;          // logged while routing, then the line after the reply is queued
        RangeFields rangeFields = {};
    };
    const std::wstring request = L"Request for: '";
    std::wstring ansiFF;
    if (!plat::ReadNonUtf8RequestBytes("\xFF", ansiFF)) ansiFF.clear();
    const Case cases[] = {
        {L"GET", L"/packages/sub/a.zip", true, Kind::File, "", L"",
         {request + L"/packages/sub/a.zip'", L"200_OK => '" + file + L"'"}},
        {L"hEaD", L"/packages/sub/a.zip", true, Kind::Text, HeadOkReply(), L"",
         {request + L"/packages/sub/a.zip'", L"200_OK_HEAD => '" + file + L"'"}},
        // A package while another is held: checked now, opened at its turn.
        {L"GET", L"/packages/sub/a.zip", false, Kind::Deferred, "", file,
         {request + L"/packages/sub/a.zip'", L"200_OK => '" + file + L"'"}},
        // A part's line waits for the open: the size then decides it.
        {L"GET", L"/packages/sub/a.zip", false, Kind::Deferred, "", file, {request + L"/packages/sub/a.zip'"},
         RangeFields{RequestedByteRange{RequestedByteRange::Form::From, 1}}},
        {L"GET", L"/packages/sub/missing.zip", true, Kind::Text, NotFoundReply(), L"",
         {request + L"/packages/sub/missing.zip'",
          L"UpdateAndCheckFilePath file not found => '" + dir.PathOf(L"packages/sub/missing.zip") + L"'",
          L"404_NOT_FOUND => '/packages/sub/missing.zip'"}},
        // The folder exists and is readable, but is no file: one open, no second.
        {L"GET", L"/packages/", true, Kind::Text, NotFoundReply(), L"",
         {request + L"/packages/'", L"200_OK => '" + folder + L"'", L"SendFile file not found => '" + folder + L"'"}},
        {L"GET", L"/index.html", true, Kind::Text, NotFoundReply(), L"",
         {request + L"/index.html'", L"404_NOT_FOUND => '/index.html'"}},
        {L"GET", L"/packages/../etc/passwd", true, Kind::Text, NotFoundReply(), L"",
         {request + L"/packages/../etc/passwd'", L"UpdateAndCheckFilePath path refused => '/packages/../etc/passwd'",
          L"404_NOT_FOUND => '/packages/../etc/passwd'"}},
        // Bytes that are not UTF-8 name no file, unless the ANSI code page
        // (Windows) reads them: then they name the file it reads.
        {L"GET", L"/packages/%FF.zip", true, Kind::Text, NotFoundReply(), L"",
         ansiFF.empty() ? Lines{request + L"/packages/\ufffd.zip'", L"404_NOT_FOUND => '/packages/\ufffd.zip'"}
                        : Lines{request + L"/packages/" + ansiFF + L".zip'",
                                L"UpdateAndCheckFilePath file not found => '" +
                                    dir.PathOf(L"packages/" + ansiFF + L".zip") + L"'",
                                L"404_NOT_FOUND => '/packages/" + ansiFF + L".zip'"}},
        // A listing is routed whatever the method, with or without the prefix.
        {L"PUT", L"/sub/listfoldercontents.ASP", true, Kind::Listing, "", sub, {request + L"/sub/listfoldercontents.ASP'"}},
        {L"GET", L"/packages/ListFolderContents.asp", true, Kind::Listing, "", folder,
         {request + L"/packages/ListFolderContents.asp'"}},
        {L"GET", L"/packages/nosuch/ListFolderContents.asp", true, Kind::Text, NotFoundReply(), L"",
         {request + L"/packages/nosuch/ListFolderContents.asp'",
          L"UpdateAndCheckFilePath Folder not found => '" + dir.PathOf(L"packages/nosuch") + L"'",
          L"404_NOT_FOUND => '/nosuch/ListFolderContents.asp'"}},
    };
    for (const Case& c : cases) {
        const std::string label = WideToUtf8(c.method) + " " + WideToUtf8(c.path);
        TestLog log;
        RoutingPolicy policy;
        policy.mayOpenPackage = c.mayOpen;
        RoutedReply reply = RouteRequest(c.method, c.path, c.rangeFields, packages, policy);
        const Lines lines = LinesOf(log.All(), reply);
        EXPECT_EQ(KindOf(reply), c.kind) << label;
        EXPECT_EQ(lines, c.lines) << label;
        if (c.kind == Kind::Text) {
            EXPECT_EQ(std::get<RoutedText>(reply).text, c.text) << label;
        }
        if (auto* file = std::get_if<RoutedFile>(&reply)) {
            EXPECT_EQ(file->header, OctetHead(5)) << label;
            ASSERT_NE(file->file, nullptr) << label;
            EXPECT_EQ(file->length, 5u) << label;
            file->file->Close();
        } else {
            EXPECT_EQ(TargetOf(reply), c.target) << label;
        }
        if (c.kind == Kind::Listing) {
            EXPECT_FALSE(std::get<RoutedListing>(reply).headOnly) << label;
        }
    }
}

// The bytes a routed File reply sends.
std::string BodyOf(RoutedFile& reply) {
    std::string body(static_cast<std::size_t>(reply.length), '\0');
    reply.file->Seek(static_cast<LONGLONG>(reply.offset), CFile::begin);
    body.resize(reply.file->Read(body.data(), static_cast<UINT>(body.size())));
    reply.file->Close();
    return body;
}

// The other readings of a target: "+" kept when the space reading names
// nothing, the part before "?", an absolute target's authority dropped.
// Each is logged as the reading served; no "not found" line for a reading
// that another satisfies, and today's lines when none does.
TEST(RequestRouting, PlusQueryAndAbsoluteTargetsNameTheFileServed) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"packages/plus+sign.bin", "plus"));
    ASSERT_TRUE(dir.MakeFile(L"packages/both+name.bin", "literal"));
    ASSERT_TRUE(dir.MakeFile(L"packages/both name.bin", "space"));
    ASSERT_TRUE(dir.MakeFile(L"packages/one.bin", "one"));
    ASSERT_TRUE(dir.MakeFile(L"packages/a+b/c.zip", "c"));
    ASSERT_TRUE(dir.MakeFile(L"outside.bin", "outside"));
    const std::wstring packages = dir.PathOf(L"packages") + plat::PathSeparator();
    const auto full = [&](const wchar_t* name) { return dir.PathOf(std::wstring(L"packages/") + name); };
    struct Case {
        const wchar_t* method;
        const wchar_t* target;
        Kind kind;
        std::string body;     // File: the bytes sent; Text: the reply
        std::wstring target2; // Listing, Deferred: the full path
        Lines lines;
        bool mayOpen = true;
        RangeFields rangeFields = {};
    };
    const std::wstring request = L"Request for: '";
    const Case cases[] = {
        {L"GET", L"/packages/plus+sign.bin", Kind::File, "plus", L"",
         {request + L"/packages/plus+sign.bin'", L"200_OK => '" + full(L"plus+sign.bin") + L"'"}},
        // Both names exist: the space reading wins; "%2B" still names the "+".
        {L"GET", L"/packages/both+name.bin", Kind::File, "space", L"",
         {request + L"/packages/both name.bin'", L"200_OK => '" + full(L"both name.bin") + L"'"}},
        {L"GET", L"/packages/both%2Bname.bin", Kind::File, "literal", L"",
         {request + L"/packages/both+name.bin'", L"200_OK => '" + full(L"both+name.bin") + L"'"}},
        {L"GET", L"/packages/one.bin?v=2", Kind::File, "one", L"",
         {request + L"/packages/one.bin'", L"200_OK => '" + full(L"one.bin") + L"'"}},
        {L"GET", L"/packages/plus+sign.bin?v=a+b", Kind::File, "plus", L"",
         {request + L"/packages/plus+sign.bin'", L"200_OK => '" + full(L"plus+sign.bin") + L"'"}},
        {L"GET", L"http://example.com:8080/packages/one.bin", Kind::File, "one", L"",
         {request + L"/packages/one.bin'", L"200_OK => '" + full(L"one.bin") + L"'"}},
        {L"GET", L"HTTP://[::1]/packages/plus+sign.bin?x", Kind::File, "plus", L"",
         {request + L"/packages/plus+sign.bin'", L"200_OK => '" + full(L"plus+sign.bin") + L"'"}},
        // HEAD, a part, a package opened later: the same reading.
        {L"HEAD", L"/packages/plus+sign.bin?v=2", Kind::Text, HeadOkReply(), L"",
         {request + L"/packages/plus+sign.bin'", L"200_OK_HEAD => '" + full(L"plus+sign.bin") + L"'"}},
        {L"GET", L"/packages/plus+sign.bin", Kind::File, "lus", L"",
         {request + L"/packages/plus+sign.bin'", L"206_PARTIAL_CONTENT => '" + full(L"plus+sign.bin") + L"' (bytes 1-3/4)"},
         true, RangeFields{RequestedByteRange{RequestedByteRange::Form::From, 1}}},
        {L"GET", L"/packages/one.bin?v=2", Kind::Deferred, "", full(L"one.bin"),
         {request + L"/packages/one.bin'", L"200_OK => '" + full(L"one.bin") + L"'"}, false},
        // A listing with a "+" in the folder and a query.
        {L"GET", L"/a+b/ListFolderContents.asp?t=1", Kind::Listing, "", full(L"a+b"),
         {request + L"/a+b/ListFolderContents.asp'"}},
        // Nothing found by any reading: the lines of the first, as always.
        {L"GET", L"/packages/no+such.bin", Kind::Text, NotFoundReply(), L"",
         {request + L"/packages/no such.bin'",
          L"UpdateAndCheckFilePath file not found => '" + full(L"no such.bin") + L"'",
          L"404_NOT_FOUND => '/packages/no such.bin'"}},
        // No reading leaves the packages folder.
        {L"GET", L"/packages/%2E%2E/outside.bin?v=1", Kind::Text, NotFoundReply(), L"",
         {request + L"/packages/../outside.bin?v=1'",
          L"UpdateAndCheckFilePath path refused => '/packages/../outside.bin?v=1'",
          L"404_NOT_FOUND => '/packages/../outside.bin?v=1'"}},
    };
    for (const Case& c : cases) {
        const std::string label = WideToUtf8(c.method) + " " + WideToUtf8(c.target);
        TestLog log;
        RoutingPolicy policy;
        policy.mayOpenPackage = c.mayOpen;
        RoutedReply reply = RouteRequest(c.method, c.target, c.rangeFields, packages, policy);
        const Lines lines = LinesOf(log.All(), reply);
        EXPECT_EQ(KindOf(reply), c.kind) << label;
        EXPECT_EQ(lines, c.lines) << label;
        if (KindOf(reply) == Kind::Text) {
            EXPECT_EQ(std::get<RoutedText>(reply).text, c.body) << label;
        }
        if (KindOf(reply) == Kind::File) {
            EXPECT_EQ(BodyOf(std::get<RoutedFile>(reply)), c.body) << label;
        } else {
            EXPECT_EQ(TargetOf(reply), c.target2) << label;
        }
    }
}

TEST(RequestRouting, DeferredPackageOpensAtItsTurnOrIsGone) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"packages/a.zip", "hello"));
    const std::wstring file = dir.PathOf(L"packages/a.zip");
    TestLog log;
    RoutedReply opened = OpenPackageReply(file, RequestedByteRange{}, nullptr, false, true);
    ASSERT_EQ(KindOf(opened), Kind::File);
    std::get<RoutedFile>(opened).file->Close();
    // Held budget spent: a small package is read whole and needs no descriptor.
    RoutedReply whole = OpenPackageReply(file, RequestedByteRange{}, nullptr, false, false);
    ASSERT_EQ(KindOf(whole), Kind::File);
    EXPECT_EQ(dynamic_cast<CDiskFile*>(std::get<RoutedFile>(whole).file.get()), nullptr);
    EXPECT_EQ(log.All(), Lines{});

    RoutedReply gone = OpenPackageReply(dir.PathOf(L"packages/gone.zip"), RequestedByteRange{}, nullptr, false, true);
    ASSERT_EQ(KindOf(gone), Kind::Text);
    EXPECT_EQ(std::get<RoutedText>(gone).text, NotFoundReply());
    EXPECT_EQ(log.All(), (Lines{L"SendFile file not found => '" + dir.PathOf(L"packages/gone.zip") + L"'"}));
}

}  // namespace
