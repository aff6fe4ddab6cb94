#include <gtest/gtest.h>

#include "app/ApplicationOptions.h"
#include "common/Utf8.h"

TEST(ApplicationOptions, ConsoleSwitchIsAPrefixAndIgnoresCase) {
    EXPECT_TRUE(ParseApplicationOptions(L"-DEBUG").bConsole);
    EXPECT_TRUE(ParseApplicationOptions(L"-Debug").bConsole);
    EXPECT_TRUE(ParseApplicationOptions(L"-debugger").bConsole);
    EXPECT_FALSE(ParseApplicationOptions(L"/debug").bConsole);
    EXPECT_FALSE(ParseApplicationOptions(L"\"-debug\"").bConsole);  // the quote belongs to the token
    const ApplicationOptions both = ParseApplicationOptions(L"-install -debug");
    EXPECT_TRUE(both.bConsole);
}

TEST(ApplicationOptions, PortValueRules) {
    EXPECT_EQ(ParseApplicationOptions(L"-serverport:1991").nServerPort, 1991);
    EXPECT_EQ(ParseApplicationOptions(L"-SERVERPORT:1991").nServerPort, 1991);
    EXPECT_EQ(ParseApplicationOptions(L"-serverport:1991x").nServerPort, 0);
    EXPECT_EQ(ParseApplicationOptions(L"-serverport:abc").nServerPort, 0);
    EXPECT_EQ(ParseApplicationOptions(L"-serverport:0").nServerPort, 0);
    EXPECT_EQ(ParseApplicationOptions(L"-serverport:-5").nServerPort, -5);
    EXPECT_EQ(ParseApplicationOptions(L"-serverport:\t8080\t").nServerPort, 8080);
    EXPECT_EQ(ParseApplicationOptions(L"-serverport:+7").nServerPort, 7);
    EXPECT_EQ(ParseApplicationOptions(L"-serverport:").nServerPort, 0);
    EXPECT_EQ(ParseApplicationOptions(L"-serverport:99999999999").nServerPort, 2147483647);
    EXPECT_EQ(ParseApplicationOptions(L"-serverport:-99999999999").nServerPort, -2147483647 - 1);
    // A space after the colon leaves the value empty; the number becomes an ignored token.
    EXPECT_EQ(ParseApplicationOptions(L"-serverport: 1991").nServerPort, 0);
}

TEST(ApplicationOptions, LastOccurrenceWinsAndFlagsStaySet) {
    EXPECT_EQ(ParseApplicationOptions(L"-serverport:1991 -serverport:bad").nServerPort, 0);
    EXPECT_EQ(ParseApplicationOptions(L"-serverport:1 -serverport:2").nServerPort, 2);
    const ApplicationOptions o =
        ParseApplicationOptions(L"-logfile:a.txt -logevents -packagespath:C:\\A\\ -logfile:B.txt -packagespath:");
    EXPECT_EQ(o.strLogFile, L"B.txt");
    EXPECT_TRUE(o.bLogEvents);
    EXPECT_TRUE(o.strPackagesPath.empty());
    EXPECT_TRUE(ParseApplicationOptions(L"-logeventsX").bLogEvents);
    EXPECT_TRUE(ParseApplicationOptions(L"-Metrics:OFF -serverport:1").bMetricsOff);
    EXPECT_FALSE(ParseApplicationOptions(L"-metrics:on").bMetricsOff);
}

TEST(ApplicationOptions, HeadSizesIsOffUnlessGiven) {
    const struct {
        const wchar_t* commandLine;
        bool headSizes;
    } cases[] = {
        {L"", false},           {L"-logevents -serverport:1991", false}, {L"-headsizes", true},
        {L"-HeadSizes", true},  {L"-install -headsizes -logevents", true}, {L"/headsizes", false},
        {L"-headsize", false},  {L"-debug -HEADSIZES", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseApplicationOptions(c.commandLine).bHeadSizes, c.headSizes) << WideToUtf8(c.commandLine);
}

TEST(ApplicationOptions, ValuesKeepTheirCaseAndAreCutAtSpacesOnly) {
    const ApplicationOptions o =
        ParseApplicationOptions(L"  -PackagesPath:C:\\My Packages\\   -LOGFILE:\"C:\\Logs\\Log.txt\"\t ");
    EXPECT_EQ(o.strPackagesPath, L"C:\\My");
    EXPECT_EQ(o.strLogFile, L"\"C:\\Logs\\Log.txt\"\t");
    EXPECT_FALSE(o.bConsole);
    EXPECT_EQ(o.nServerPort, 0);
}

TEST(ApplicationOptions, RegisteredInTheFixedOrderWhateverTheCommandLineOrder) {
    const ApplicationOptions o =
        ParseApplicationOptions(L"-logevents -logfile:C:\\l.txt -install -packagespath:C:\\P\\ -serverport:1991");
    EXPECT_EQ(RegisteredOptions(o), L" -serverport:1991 -packagespath:C:\\P\\ -logfile:C:\\l.txt -logevents");
    // The address follows the port, as typed.
    EXPECT_EQ(RegisteredOptions(ParseApplicationOptions(L"-logevents -ServerAddress:[::1] -serverport:1991")),
              L" -serverport:1991 -serveraddress:[::1] -logevents");
    EXPECT_EQ(RegisteredOptions(ParseApplicationOptions(L"-install -serverport:1991 -logevents")),
              L" -serverport:1991 -logevents");
    // Head sizes come after the other options.
    EXPECT_EQ(RegisteredOptions(ParseApplicationOptions(L"-headsizes -logevents -install -serverport:1991")),
              L" -serverport:1991 -logevents -headsizes");
    EXPECT_EQ(RegisteredOptions(ParseApplicationOptions(L"-install -HeadSizes")), L" -headsizes");
    EXPECT_EQ(RegisteredOptions(ParseApplicationOptions(L"-install -metrics:off -serverport:1991 -logevents")),
              L" -serverport:1991 -logevents -metrics:off");
    EXPECT_EQ(RegisteredOptions(ParseApplicationOptions(L"-metrics:off -install -headsizes")), L" -headsizes -metrics:off");
    EXPECT_EQ(RegisteredOptions(ParseApplicationOptions(L"-install -serverport:abc")), L"");
}

TEST(ApplicationOptions, ServerAddressIsTakenAsTypedAndNamesAnIPv4OrIPv6Literal) {
    EXPECT_EQ(ParseApplicationOptions(L"-SERVERADDRESS:[::1] -serveraddress:10.0.0.5").strServerAddress, L"10.0.0.5");
    EXPECT_EQ(ParseApplicationOptions(L"-serveraddress:10.0.0.5 -serveraddress:").strServerAddress, L"");
    EXPECT_EQ(ParseApplicationOptions(L"-serveraddress:[FE80::1]").strServerAddress, L"[FE80::1]");

    const struct {
        const wchar_t* value;
        const wchar_t* literal;  // empty: refused
    } cases[] = {
        {L"127.0.0.1", L"127.0.0.1"}, {L"::1", L"::1"},   {L"[::1]", L"::1"},      {L"[2001:db8::7]", L"2001:db8::7"},
        {L"[127.0.0.1]", L""},        {L"nonsense", L""}, {L"localhost", L""},      {L"[::1", L""},
        {L"::1]", L""},               {L"[]", L""},       {L"[[::1]]", L""},        {L"127.0.0.1:80", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ServerAddressLiteral(c.value), c.literal) << WideToUtf8(c.value);
        EXPECT_EQ(ServerAddressProblem(c.value).empty(), *c.literal != L'\0') << WideToUtf8(c.value);
    }
    EXPECT_EQ(ServerAddressProblem(L"nonsense"), L"the server address 'nonsense' is not an IPv4 or IPv6 address");
    EXPECT_EQ(ServerAddressProblem(L""), L"");  // not given: every address
}
