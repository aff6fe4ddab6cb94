#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/Format.h"
#include "common/TextTrim.h"
#include "common/Utf8.h"
#include "common/WideScan.h"

TEST(Format, FillsTheProgramsFormatsFromTypedArguments) {
    EXPECT_EQ(FormatW(L"Request for: '%s'", std::wstring(L"/packages/a.zip")), L"Request for: '/packages/a.zip'");
    EXPECT_EQ(FormatW(L"Initialize Listener: PackagePath='%s', Port='%ld'", L"C:\\P\\", 8080),
              L"Initialize Listener: PackagePath='C:\\P\\', Port='8080'");
    EXPECT_EQ(FormatW(L"Thread '%s': %llu ms passed since message %s was posted", L"T",
                      std::uint64_t{10001}, std::to_wstring(1025u)),
              L"Thread 'T': 10001 ms passed since message 1025 was posted");
    EXPECT_EQ(FormatW(L"Timeout of %lu000 ms expired", 5u), L"Timeout of 5000 ms expired");
    EXPECT_EQ(FormatW(L"Code %X - [%s] %s", 0x80004005u, nullptr, static_cast<const wchar_t*>(nullptr)),
              L"Code 80004005 - [(null)] (null)");
    EXPECT_EQ(FormatA("Content-Length: %ld\r\n\r\n", 902848), "Content-Length: 902848\r\n\r\n");
}

TEST(Format, NegativeAndUnsignedWidths) {
    EXPECT_EQ(FormatW(L"%d", -5), L"-5");
    EXPECT_EQ(FormatW(L"%u", -1), L"4294967295");
    EXPECT_EQ(FormatW(L"%llu", std::int64_t{-1}), L"18446744073709551615");
    EXPECT_EQ(FormatW(L"%X", -1), L"FFFFFFFF");
    EXPECT_EQ(FormatW(L"%5d|%-5d|%05d", 42, 42, 42), L"   42|42   |00042");
    EXPECT_EQ(FormatW(L"%.3s", L"abcdef"), L"abc");
}

TEST(Format, FinishedTextPassedThroughPercentSStaysLiteral) {
    const std::wstring hostile = L"100% %s %n %d %%";
    EXPECT_EQ(FormatW(L"%s", hostile), hostile);
}

TEST(Format, EscapedTextHasNoControlCharactersAndIsCut) {
    const std::wstring controls = std::wstring(L"a\r\nb\x1b[2J") + L'\0' + L"\x7f\u00e9";
    EXPECT_EQ(FormatW(L"'%s'", EscapedText{controls, 100}), L"'a\\x0D\\x0Ab\\x1B[2J\\x00\\x7F\u00e9'");
    EXPECT_EQ(FormatA("%s", EscapedText{controls, 100}), "a\\x0D\\x0Ab\\x1B[2J\\x00\\x7F\xC3\xA9");
    EXPECT_EQ(FormatW(L"%s", EscapedText{L"plain text", 10}), L"plain text");
    EXPECT_EQ(FormatW(L"%s", EscapedText{L"plain text", 5}), L"plain...");
    EXPECT_EQ(FormatW(L"%s", EscapedText{L"\n\n\n", 2}), L"\\x0A\\x0A...");
    // Control characters after, between and at the end of longer plain runs.
    EXPECT_EQ(FormatW(L"%s", EscapedText{L"/packages/a-long-name\x1b[2J and more plain text\x7f", 100}),
              L"/packages/a-long-name\\x1B[2J and more plain text\\x7F");
}

TEST(Format, MismatchedOrMissingArgumentsNeverCrash) {
    EXPECT_EQ(FormatW(L"%d and %s", L"text", 7), L"text and 7");
    EXPECT_EQ(FormatW(L"[%s][%d]"), L"[][]");
    EXPECT_EQ(FormatW(L"tail %"), L"tail %");
    EXPECT_EQ(FormatW(L"%q stays"), L"%q stays");
}

TEST(Format, NarrowAndWideStringsMeetAsUtf8) {
    EXPECT_EQ(FormatW(L"%s", std::string("caf\xC3\xA9")), L"caf\u00E9");
    EXPECT_EQ(FormatA("%s", std::wstring(L"caf\u00E9")), "caf\xC3\xA9");
}

// The block-wise scans must find the one odd character wherever it falls:
// before, inside and across the sixteen-character blocks, and in the tail.
TEST(Utf8, WideScansFindTheFirstOddCharacterAtEveryPosition) {
    struct Odd {
        wchar_t c;
        bool ascii;
        bool control;
    };
    const Odd odds[] = {{L'\0', true, true},    {0x1F, true, true},   {L' ', true, false}, {0x7E, true, false},
                        {0x7F, true, true},      {0x80, false, false}, {0xE9, false, false},
                        {static_cast<wchar_t>(0xFFFF), false, false},
                        {static_cast<wchar_t>(sizeof(wchar_t) == 4 ? 0x10000 : 0x8000), false, false}};
    char bytes[64];
    for (const Odd& odd : odds) {
        for (std::size_t length = 1; length <= 40; ++length) {
            for (std::size_t at = 0; at < length; ++at) {
                std::wstring text(length, L'a');
                text[at] = odd.c;
                SCOPED_TRACE(testing::Message() << "char " << static_cast<long>(odd.c) << " at " << at << " of " << length);
                const std::size_t copied = CopyAsciiPrefix(text.data(), length, bytes);
                ASSERT_EQ(copied, odd.ascii ? length : at);
                for (std::size_t i = 0; i < copied; ++i) ASSERT_EQ(bytes[i], static_cast<char>(text[i]));
                ASSERT_EQ(FindControlCharacter(text.data(), 0, length), odd.control ? at : length);
                ASSERT_EQ(FindControlCharacter(text.data(), at + 1, length), length);  // nothing odd after it
            }
        }
    }
    if constexpr (sizeof(wchar_t) == 4) {
        // A value below zero is no ASCII and, as below 0x20, a control character.
        const std::wstring text(20, static_cast<wchar_t>(-1));
        EXPECT_EQ(CopyAsciiPrefix(text.data(), text.size(), bytes), 0u);
        EXPECT_EQ(FindControlCharacter(text.data(), 0, text.size()), 0u);
    }
}

TEST(Utf8, StrictDecodingRejectsEveryMalformedForm) {
    std::wstring out;
    EXPECT_TRUE(TryUtf8ToWide("\xC3\xA9", out));
    EXPECT_EQ(out, L"\u00E9");
    EXPECT_TRUE(TryUtf8ToWide("\xF0\x9F\x98\x80", out));
    EXPECT_EQ(WideToUtf8(out), "\xF0\x9F\x98\x80");
    EXPECT_FALSE(TryUtf8ToWide("\xC0\xAF", out));          // overlong "/"
    EXPECT_FALSE(TryUtf8ToWide("\xE0\x80\xAF", out));      // overlong "/"
    EXPECT_FALSE(TryUtf8ToWide("\xED\xA0\x80", out));      // surrogate
    EXPECT_FALSE(TryUtf8ToWide("\xF4\x90\x80\x80", out));  // above U+10FFFF
    EXPECT_FALSE(TryUtf8ToWide("\xC3", out));              // truncated
    EXPECT_FALSE(TryUtf8ToWide("\xFF", out));
    EXPECT_EQ(Utf8ToWideLossy("a\xFF" "b"), L"a\uFFFD" L"b");
    // Long ASCII runs before, around and after other characters.
    EXPECT_EQ(WideToUtf8(L"0123456789abcdef\u00E9ghijklmnopq\U0001F600"),
              "0123456789abcdef\xC3\xA9ghijklmnopq\xF0\x9F\x98\x80");
    EXPECT_EQ(WideToUtf8(L"01234567890123456789"), "01234567890123456789");
}

TEST(Utf8, AsciiFoldingLeavesOtherLettersAlone) {
    EXPECT_TRUE(AsciiEqualsNoCase(L"HEAD", L"head"));
    EXPECT_FALSE(AsciiEqualsNoCase(L"\u00C9", L"\u00E9"));
    EXPECT_TRUE(AsciiStartsWithNoCase(L"/Packages/x", L"/packages"));
    EXPECT_TRUE(AsciiEndsWithNoCase(L"/a/LISTFOLDERCONTENTS.ASP", L"ListFolderContents.asp"));
    EXPECT_EQ(AsciiUpper(L"c:\\program files\\velmora.exe \u00E9z"), L"C:\\PROGRAM FILES\\VELMORA.EXE \u00E9Z");
    EXPECT_EQ(BytesToWide("\xC3\xA9"), std::wstring(L"\u00C3\u00A9"));
    EXPECT_EQ(WideToBytes(L"\u00C3\u00A9"), "\xC3\xA9");
}

// A system text inside a sentence: a log line keeps all but its line break, a message all but its white space.
TEST(TextTrim, CutsOnlyWhatEachKindOfEndNames) {
    const struct {
        const wchar_t* text;
        const wchar_t* withoutLineBreaks;
        const wchar_t* withoutWhitespace;
    } cases[] = {
        {L"Access is denied.\r\n", L"Access is denied.", L"Access is denied."},
        {L"Access is denied. \r\n", L"Access is denied. ", L"Access is denied."},
        {L"a\r\nb\t\v\f \n", L"a\r\nb\t\v\f ", L"a\r\nb"},
        {L"\r\n", L"", L""},
        {L"", L"", L""},
        {L"x\u00A0", L"x\u00A0", L"x\u00A0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WithoutTrailingLineBreaks(c.text), c.withoutLineBreaks);
        EXPECT_EQ(WithoutTrailingWhitespace(c.text), c.withoutWhitespace);
    }
}
