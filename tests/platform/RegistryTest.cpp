// The registry contract on whichever registry the build has: the system's on
// Windows (Wine's under test), our file-backed one on POSIX.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "platform/RegistryCodes.h"
#include "platform/Win32Codes.h"
#include "support/RegistrySandbox.h"

namespace {

using plat::RegistryKeyOwner;

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_strBase = L"SOFTWARE\\" + m_registry.UniqueName(L"VelmoraRegistryTest-");
        m_registry.RemoveAtEnd(m_strBase);
        ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(plat::LocalMachineKey(), m_strBase.c_str(),
                                                         KEY_ALL_ACCESS, m_base.Receive()));
    }

    std::vector<std::uint8_t> Query(plat::RegistryKey key, const wchar_t* name, DWORD* type) {
        DWORD size = 0;
        EXPECT_EQ(ERROR_SUCCESS, plat::RegistryQueryValue(key, name, type, nullptr, &size));
        std::vector<std::uint8_t> data(size);
        EXPECT_EQ(ERROR_SUCCESS, plat::RegistryQueryValue(key, name, type, data.data(), &size));
        data.resize(size);
        return data;
    }

    CRegistrySandbox m_registry;
    std::wstring m_strBase;
    RegistryKeyOwner m_base;
};

TEST_F(RegistryTest, CreateOpensAnExistingKeyAndMakesEveryMissingKeyOnThePath) {
    RegistryKeyOwner deep;
    bool created = false;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(m_base.Get(), L"a\\b\\c", KEY_ALL_ACCESS, deep.Receive(), &created));
    EXPECT_TRUE(created);
    RegistryKeyOwner again;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(m_base.Get(), L"a\\b\\c", KEY_ALL_ACCESS, again.Receive(), &created));
    EXPECT_FALSE(created);

    RegistryKeyOwner middle;
    EXPECT_EQ(ERROR_SUCCESS, plat::RegistryOpenKey(m_base.Get(), L"a\\b", KEY_READ, middle.Receive()));
    RegistryKeyOwner missing;
    EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND),
              plat::RegistryOpenKey(m_base.Get(), L"a\\x", KEY_READ, missing.Receive()));
    EXPECT_EQ(nullptr, missing.Get());

    std::wstring name;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryEnumKeyName(middle.Get(), 0, &name));
    EXPECT_EQ(L"c", name);
    EXPECT_EQ(static_cast<LONG>(ERROR_NO_MORE_ITEMS), plat::RegistryEnumKeyName(middle.Get(), 1, &name));
}

TEST_F(RegistryTest, KeyAndValueNamesIgnoreLetterCaseAndKeepTheirOwn) {
    RegistryKeyOwner key;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(m_base.Get(), L"MixedCase", KEY_ALL_ACCESS, key.Receive()));
    RegistryKeyOwner same;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryOpenKey(m_base.Get(), L"mIXEDcASE", KEY_ALL_ACCESS, same.Receive()));
    bool created = true;
    RegistryKeyOwner third;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(m_base.Get(), L"MIXEDCASE", KEY_ALL_ACCESS, third.Receive(), &created));
    EXPECT_FALSE(created);
    std::wstring name;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryEnumKeyName(m_base.Get(), 0, &name));
    EXPECT_EQ(L"MixedCase", name);
    EXPECT_EQ(static_cast<LONG>(ERROR_NO_MORE_ITEMS), plat::RegistryEnumKeyName(m_base.Get(), 1, &name));

    const std::uint8_t one[] = {1};
    const std::uint8_t two[] = {2, 2};
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistrySetValue(key.Get(), L"Value", REG_BINARY, one, sizeof one));
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistrySetValue(same.Get(), L"VALUE", REG_BINARY, two, sizeof two));
    DWORD type = 0;
    EXPECT_EQ((std::vector<std::uint8_t>{2, 2}), Query(key.Get(), L"value", &type));
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryDeleteValue(third.Get(), L"vAlUe"));
    DWORD size = 0;
    EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND), plat::RegistryQueryValue(key.Get(), L"Value", &type, nullptr, &size));
}

TEST_F(RegistryTest, ValuesOfEveryTypeRoundTripByteForByte) {
    std::vector<std::uint8_t> everyByte(256);
    std::iota(everyByte.begin(), everyByte.end(), 0);
    std::vector<std::uint8_t> large(200000);
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    const std::vector<std::uint8_t> text = {'a', 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0};  // "aé😀"
    const std::vector<std::uint8_t> unterminated = {'x', 0, 'y'};  // odd size, no NUL
    struct Case {
        const wchar_t* name;
        DWORD type;
        std::vector<std::uint8_t> data;
    } cases[] = {
        {L"sz", REG_SZ, text},
        {L"sz-unterminated", REG_SZ, unterminated},
        {L"expand", REG_EXPAND_SZ, text},
        {L"binary", REG_BINARY, everyByte},
        {L"large", REG_BINARY, large},
        {L"empty", REG_BINARY, {}},
        {L"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {L"dword-short", REG_DWORD, {1, 2}},
        {L"multi", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
        {L"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {L"none", REG_NONE, {9, 8, 7}},
        {L"unknown type", 0x12345678, {0xFF, 0x00, 0x7F}},
        {L"", REG_SZ, text},  // the key's default value
        {L"odd \"name\" \\ with\tcontrols\n and \x00e9\x4e2d", REG_BINARY, {42}},
    };
    RegistryKeyOwner key;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(m_base.Get(), L"types", KEY_ALL_ACCESS, key.Receive()));
    for (const Case& c : cases)
        ASSERT_EQ(ERROR_SUCCESS, plat::RegistrySetValue(key.Get(), c.name, c.type, c.data.data(),
                                                        static_cast<DWORD>(c.data.size())))
            << "value '" << c.name << "'";

    RegistryKeyOwner reader;  // a key opened afresh reads what was stored
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryOpenKey(m_base.Get(), L"types", KEY_READ, reader.Receive()));
    for (const Case& c : cases) {
        DWORD type = 0;
        EXPECT_EQ(c.data, Query(reader.Get(), c.name, &type)) << "value '" << c.name << "'";
        EXPECT_EQ(c.type, type) << "value '" << c.name << "'";
    }
    DWORD type = 0;
    EXPECT_EQ(text, Query(reader.Get(), nullptr, &type)) << "null names the default value";
}

TEST_F(RegistryTest, QueryReportsTheSizeAndRefusesASmallBufferWithMoreData) {
    const std::uint8_t data[6] = {'1', 0, '2', 0, 0, 0};
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistrySetValue(m_base.Get(), L"v", REG_SZ, data, sizeof data));
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, plat::RegistryQueryValue(m_base.Get(), L"v", &type, nullptr, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(REG_SZ, type);

    std::uint8_t small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    size = sizeof small;
    EXPECT_EQ(static_cast<LONG>(ERROR_MORE_DATA), plat::RegistryQueryValue(m_base.Get(), L"v", &type, small, &size));
    EXPECT_EQ(6u, size);

    std::uint8_t exact[6] = {};
    size = sizeof exact;
    EXPECT_EQ(ERROR_SUCCESS, plat::RegistryQueryValue(m_base.Get(), L"v", nullptr, exact, &size));
    EXPECT_EQ(0, std::memcmp(exact, data, sizeof data));

    EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND), plat::RegistryQueryValue(m_base.Get(), L"w", &type, nullptr, &size));
}

TEST_F(RegistryTest, DeletingValuesAndKeysFollowsTheWindowsRules) {
    RegistryKeyOwner parent;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(m_base.Get(), L"p\\child", KEY_ALL_ACCESS, parent.Receive()));
    const std::uint8_t byte = 1;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistrySetValue(m_base.Get(), L"v", REG_BINARY, &byte, 1));
    EXPECT_EQ(ERROR_SUCCESS, plat::RegistryDeleteValue(m_base.Get(), L"v"));
    EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND), plat::RegistryDeleteValue(m_base.Get(), L"v"));

    EXPECT_EQ(static_cast<LONG>(ERROR_ACCESS_DENIED), plat::RegistryDeleteKey(m_base.Get(), L"p"))
        << "a key with sub-keys stays";
    EXPECT_EQ(ERROR_SUCCESS, plat::RegistryDeleteKey(m_base.Get(), L"P\\CHILD"));
    EXPECT_EQ(ERROR_SUCCESS, plat::RegistryDeleteKey(m_base.Get(), L"p"));
    EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND), plat::RegistryDeleteKey(m_base.Get(), L"p"));
}

TEST_F(RegistryTest, AKeyDeletedWhileOpenRefusesFurtherUse) {
    RegistryKeyOwner doomed;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(m_base.Get(), L"doomed", KEY_ALL_ACCESS, doomed.Receive()));
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryDeleteKey(m_base.Get(), L"doomed"));
    RegistryKeyOwner reborn;  // same name, another key
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(m_base.Get(), L"doomed", KEY_ALL_ACCESS, reborn.Receive()));
    const std::uint8_t byte = 1;
    EXPECT_EQ(static_cast<LONG>(ERROR_KEY_DELETED), plat::RegistrySetValue(doomed.Get(), L"v", REG_BINARY, &byte, 1));
    DWORD size = 0;
    EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND), plat::RegistryQueryValue(reborn.Get(), L"v", nullptr, nullptr, &size));
}

TEST_F(RegistryTest, AKeyOpenedForReadingRefusesWritesAndFlushSucceeds) {
    RegistryKeyOwner reader;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryOpenKey(plat::LocalMachineKey(), m_strBase.c_str(), KEY_READ, reader.Receive()));
    const std::uint8_t byte = 1;
    EXPECT_EQ(static_cast<LONG>(ERROR_ACCESS_DENIED), plat::RegistrySetValue(reader.Get(), L"v", REG_BINARY, &byte, 1));
    EXPECT_EQ(static_cast<LONG>(ERROR_ACCESS_DENIED), plat::RegistryDeleteValue(reader.Get(), L"v"));
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistrySetValue(m_base.Get(), L"v", REG_BINARY, &byte, 1));
    EXPECT_EQ(ERROR_SUCCESS, plat::RegistryFlushKey(m_base.Get()));
    EXPECT_EQ(ERROR_SUCCESS, plat::RegistryFlushKey(reader.Get()));
}

TEST(RegistryStringTest, WideTextBecomesUtf16LittleEndianAndBack) {
    const std::wstring text = L"A\x00e9\x4e2d";
    EXPECT_EQ((std::vector<std::uint8_t>{'A', 0, 0xE9, 0, 0x2D, 0x4E}), plat::RegistryStringBytes(text));
    const std::vector<std::uint8_t> pair = {0x3D, 0xD8, 0x00, 0xDE};  // U+1F600 as a surrogate pair
    const std::wstring decoded = plat::RegistryStringFromBytes(pair.data(), pair.size());
    EXPECT_EQ(pair, plat::RegistryStringBytes(decoded));
    const std::vector<std::uint8_t> odd = {'x', 0, 'y'};
    EXPECT_EQ(L"x", plat::RegistryStringFromBytes(odd.data(), odd.size()));
    EXPECT_EQ(L"", plat::RegistryStringFromBytes(nullptr, 4));
}

}  // namespace
