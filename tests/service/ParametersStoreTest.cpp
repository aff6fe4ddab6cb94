// The parameters store of CNTService, against the registry of the build (our
// file-backed one on POSIX, Wine's real one for the Windows build).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Handles.h"
#include "platform/Registry.h"
#include "platform/RegistryCodes.h"
#include "platform/Win32Codes.h"
#include "service/NTService.h"
#include "service/NTServiceRegistry.h"
#include "support/RegistrySandbox.h"

namespace {

using plat::RegistryKeyOwner;
using Bytes = std::vector<std::uint8_t>;

const std::wstring kServices = L"SYSTEM\\CurrentControlSet\\Services\\";

class ParametersService : public CNTService {
  public:
    explicit ParametersService(const std::wstring& name) : CNTService(name.c_str(), L"Display", nullptr) {}
    using CNTService::m_bFlushRegistry;
};

class ParametersStoreTest : public ::testing::Test {
  protected:
    ParametersStoreTest()
        : m_strName(m_registry.UniqueName(L"VelmoraParamsTest-")), m_service(m_strName) {
        m_registry.RemoveAtEnd(kServices + m_strName);
    }

    std::wstring SectionPath(const std::wstring& section) const {
        return kServices + m_strName + L"\\Parameters\\" + section;
    }

    // Stores a raw value in a section, creating the keys.
    void SetRaw(const std::wstring& section, const wchar_t* entry, DWORD type, const Bytes& data) {
        RegistryKeyOwner key;
        ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(plat::LocalMachineKey(), SectionPath(section).c_str(),
                                                         KEY_ALL_ACCESS, key.Receive()));
        ASSERT_EQ(ERROR_SUCCESS,
                  plat::RegistrySetValue(key.Get(), entry, type, data.data(), static_cast<DWORD>(data.size())));
    }

    // The raw value as the registry holds it; false when it is missing.
    bool GetRaw(const std::wstring& section, const wchar_t* entry, DWORD* type, Bytes* data) {
        RegistryKeyOwner key;
        if (plat::RegistryOpenKey(plat::LocalMachineKey(), SectionPath(section).c_str(), KEY_READ, key.Receive()) !=
            ERROR_SUCCESS)
            return false;
        DWORD size = 0;
        if (plat::RegistryQueryValue(key.Get(), entry, type, nullptr, &size) != ERROR_SUCCESS) return false;
        data->resize(size);
        return plat::RegistryQueryValue(key.Get(), entry, type, data->data(), &size) == ERROR_SUCCESS;
    }

    bool KeyExists(const std::wstring& path) {
        RegistryKeyOwner key;
        return plat::RegistryOpenKey(plat::LocalMachineKey(), path.c_str(), KEY_READ, key.Receive()) == ERROR_SUCCESS;
    }

    CRegistrySandbox m_registry;
    std::wstring m_strName;
    ParametersService m_service;
};

TEST_F(ParametersStoreTest, EachKindOfValueRoundTripsWithItsTypeAndSize) {
    ASSERT_TRUE(m_service.WriteParameterString(L"General", L"Text", L"h\x00e9llo"));
    ASSERT_TRUE(m_service.WriteParameterInt(L"General", L"Number", -5));
    const std::vector<std::wstring> list = {L"one", L"t\x00e9o", L"\x4e2d"};
    ASSERT_TRUE(m_service.WriteParameterStringArray(L"General", L"List", list));
    Bytes block(300);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 13);
    ASSERT_TRUE(m_service.WriteParameterBinary(L"General", L"Block", block.data(), static_cast<UINT>(block.size())));

    DWORD error = 99;
    EXPECT_EQ(L"h\x00e9llo", m_service.ReadParameterString(L"General", L"Text", L"default", &error));
    EXPECT_EQ(0u, error);
    EXPECT_EQ(-5, m_service.ReadParameterInt(L"General", L"Number", 7, &error));
    EXPECT_EQ(0u, error);
    std::vector<std::wstring> readList = {L"stale"};
    EXPECT_TRUE(m_service.ReadParameterStringArray(L"General", L"List", readList));
    EXPECT_EQ(list, readList);
    std::unique_ptr<std::uint8_t[]> data;
    UINT count = 0;
    ASSERT_TRUE(m_service.ReadParameterBinary(L"General", L"Block", data, count));
    ASSERT_EQ(block.size(), count);
    EXPECT_EQ(block, Bytes(data.get(), data.get() + count));

    DWORD type = 0;
    Bytes raw;
    ASSERT_TRUE(GetRaw(L"General", L"Text", &type, &raw));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ((5u + 1) * 2, raw.size());
    ASSERT_TRUE(GetRaw(L"General", L"Number", &type, &raw));
    EXPECT_EQ(REG_DWORD, type);
    EXPECT_EQ((Bytes{0xFB, 0xFF, 0xFF, 0xFF}), raw);
    ASSERT_TRUE(GetRaw(L"General", L"List", &type, &raw));
    EXPECT_EQ(REG_MULTI_SZ, type);
    EXPECT_EQ(((3u + 1) + (3 + 1) + (1 + 1) + 1) * 2, raw.size());
    ASSERT_TRUE(GetRaw(L"General", L"Block", &type, &raw));
    EXPECT_EQ(REG_BINARY, type);

    m_service.m_bFlushRegistry = FALSE;  // writes without flushing are stored all the same
    ASSERT_TRUE(m_service.WriteParameterInt(L"General", L"Number", 8));
    EXPECT_EQ(8, m_service.ReadParameterInt(L"General", L"Number", 7, nullptr));
}

TEST_F(ParametersStoreTest, AReadOfAServiceWithoutKeysCreatesTheServiceKeyParametersAndTheSection) {
    ASSERT_FALSE(KeyExists(kServices + m_strName));
    DWORD error = 0;
    EXPECT_EQ(L"fallback", m_service.ReadParameterString(L"Section", L"Missing", L"fallback", &error));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, error);
    EXPECT_TRUE(KeyExists(SectionPath(L"Section")));
    EXPECT_EQ(L"", m_service.ReadParameterString(L"Section", L"Missing", nullptr, nullptr));
    EXPECT_EQ(42, m_service.ReadParameterInt(L"Other", L"Missing", 42, &error));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, error);
    EXPECT_TRUE(KeyExists(SectionPath(L"Other")));
}

TEST_F(ParametersStoreTest, AnIntegerIsReadFromExactlyFourBytesOfAnyType) {
    SetRaw(L"S", L"TwoDigits", REG_SZ, {'1', 0, '2', 0, 0, 0});
    SetRaw(L"S", L"OneDigit", REG_SZ, {'1', 0, 0, 0});
    SetRaw(L"S", L"Binary", REG_BINARY, {1, 2, 3, 4});
    SetRaw(L"S", L"Short", REG_BINARY, {0x34, 0x12});
    DWORD error = 0;
    EXPECT_EQ(-1, m_service.ReadParameterInt(L"S", L"TwoDigits", -1, &error));
    EXPECT_EQ(ERROR_MORE_DATA, error);
    EXPECT_EQ(0x31, m_service.ReadParameterInt(L"S", L"OneDigit", -1, &error));
    EXPECT_EQ(0u, error);
    EXPECT_EQ(0x04030201, m_service.ReadParameterInt(L"S", L"Binary", -1, &error));
    EXPECT_EQ(0x1234, m_service.ReadParameterInt(L"S", L"Short", -1, &error)) << "fewer bytes fill the low end";
}

TEST_F(ParametersStoreTest, AStringIsReadFromAnyTypeUpToItsFirstNulAndNeverPastTheData) {
    SetRaw(L"S", L"Embedded", REG_SZ, {'a', 0, 'b', 0, 0, 0, 'c', 0, 0, 0});
    SetRaw(L"S", L"Unterminated", REG_BINARY, {'h', 0, 'i', 0});
    SetRaw(L"S", L"Odd", REG_SZ, {'x', 0, 'y'});
    SetRaw(L"S", L"Empty", REG_SZ, {});
    DWORD error = 1;
    EXPECT_EQ(L"ab", m_service.ReadParameterString(L"S", L"Embedded", L"d", &error));
    EXPECT_EQ(L"hi", m_service.ReadParameterString(L"S", L"Unterminated", L"d", &error));
    EXPECT_EQ(L"x", m_service.ReadParameterString(L"S", L"Odd", L"d", &error));
    EXPECT_EQ(L"", m_service.ReadParameterString(L"S", L"Empty", L"d", &error));
    EXPECT_EQ(0u, error);
}

TEST_F(ParametersStoreTest, StringListsNeedTheirOwnTypeAndAnEmptyListIsOneNul) {
    ASSERT_TRUE(m_service.WriteParameterString(L"S", L"Text", L"abc"));
    std::vector<std::wstring> values = {L"stale"};
    plat::SetLastErrorCode(0);
    EXPECT_FALSE(m_service.ReadParameterStringArray(L"S", L"Text", values));
    EXPECT_EQ(ERROR_INVALID_DATA, plat::LastError());
    EXPECT_TRUE(values.empty());

    ASSERT_TRUE(m_service.WriteParameterStringArray(L"S", L"Empty", {}));
    DWORD type = 0;
    Bytes raw;
    ASSERT_TRUE(GetRaw(L"S", L"Empty", &type, &raw));
    EXPECT_EQ((Bytes{0, 0}), raw);
    values = {L"stale"};
    EXPECT_TRUE(m_service.ReadParameterStringArray(L"S", L"Empty", values));
    EXPECT_TRUE(values.empty());

    values = {L"stale"};
    EXPECT_FALSE(m_service.ReadParameterStringArray(L"S", L"Missing", values));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, plat::LastError());
    EXPECT_TRUE(values.empty());
}

TEST_F(ParametersStoreTest, AListWithoutItsFinalNulsYieldsTheStringsInsideTheData) {
    struct Case {
        const wchar_t* entry;
        Bytes data;
        std::vector<std::wstring> expected;
    } cases[] = {
        {L"NoFinalNul", {'a', 0, 0, 0, 'b', 0}, {L"a", L"b"}},
        {L"OneNulOnly", {'a', 0, 0, 0}, {L"a"}},
        {L"NoNulAtAll", {'a', 0, 'b', 0}, {L"ab"}},
        {L"OddSize", {'a', 0, 0, 0, 'b'}, {L"a"}},
        {L"Empty", {}, {}},
        {L"EmptyFirst", {0, 0, 'a', 0, 0, 0, 0, 0}, {}},
    };
    for (const Case& c : cases) SetRaw(L"S", c.entry, REG_MULTI_SZ, c.data);
    for (const Case& c : cases) {
        std::vector<std::wstring> values;
        EXPECT_TRUE(m_service.ReadParameterStringArray(L"S", c.entry, values)) << c.entry;
        EXPECT_EQ(c.expected, values) << c.entry;
    }
}

TEST_F(ParametersStoreTest, AListWithAnEmptyStringIsRefusedAndTheStoredOneKept) {
    ASSERT_TRUE(m_service.WriteParameterStringArray(L"S", L"List", {L"a", L"b"}));
    EXPECT_FALSE(m_service.WriteParameterStringArray(L"S", L"List", {L"x", L"", L"y"}));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, plat::LastError());
    std::vector<std::wstring> values;
    EXPECT_TRUE(m_service.ReadParameterStringArray(L"S", L"List", values));
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b"}), values);
}

TEST_F(ParametersStoreTest, BinaryReadsHandTheBytesAndTheirCountToTheCaller) {
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[3]);
    UINT count = 3;
    EXPECT_FALSE(m_service.ReadParameterBinary(L"S", L"Missing", data, count));
    EXPECT_EQ(nullptr, data.get());
    EXPECT_EQ(0u, count);

    ASSERT_TRUE(m_service.WriteParameterBinary(L"S", L"Nothing", nullptr, 0));
    EXPECT_TRUE(m_service.ReadParameterBinary(L"S", L"Nothing", data, count));
    EXPECT_EQ(0u, count);
    SetRaw(L"S", L"Text", REG_SZ, {'o', 0, 'k', 0, 0, 0});
    ASSERT_TRUE(m_service.ReadParameterBinary(L"S", L"Text", data, count)) << "any type is read as bytes";
    EXPECT_EQ((Bytes{'o', 0, 'k', 0, 0, 0}), Bytes(data.get(), data.get() + count));
}

TEST_F(ParametersStoreTest, DeletingEntriesAndSections) {
    ASSERT_TRUE(m_service.WriteParameterString(L"S", L"Entry", L"value"));
    ASSERT_TRUE(m_service.WriteParameterString(L"S", L"Other", L"stays"));
    EXPECT_TRUE(m_service.WriteParameterString(L"S", L"Entry", nullptr));
    DWORD error = 0;
    EXPECT_EQ(L"gone", m_service.ReadParameterString(L"S", L"Entry", L"gone", &error));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, error);
    EXPECT_EQ(L"stays", m_service.ReadParameterString(L"S", L"Other", L"gone", nullptr));
    EXPECT_FALSE(m_service.WriteParameterString(L"S", L"Entry", nullptr)) << "a missing entry";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, plat::LastError());

    ASSERT_TRUE(m_service.WriteParameterInt(L"S\\Sub", L"Deep", 1));
    EXPECT_FALSE(m_service.WriteParameterString(L"S", nullptr, nullptr)) << "a section with sub-keys";
    EXPECT_TRUE(KeyExists(SectionPath(L"S")));
    EXPECT_TRUE(m_service.WriteParameterString(L"S\\Sub", nullptr, nullptr));
    EXPECT_TRUE(m_service.WriteParameterString(L"S", nullptr, nullptr));
    EXPECT_FALSE(KeyExists(SectionPath(L"S")));
    EXPECT_TRUE(KeyExists(kServices + m_strName + L"\\Parameters"));
    EXPECT_FALSE(m_service.WriteParameterString(L"S", nullptr, nullptr)) << "a missing section";
    EXPECT_FALSE(m_service.WriteParameterString(L"", nullptr, nullptr)) << "the Parameters key itself";
    EXPECT_TRUE(KeyExists(kServices + m_strName + L"\\Parameters"));
}

TEST(ParametersStoreNames, AServiceNameThatWouldNameAnotherKeyIsRefused) {
    CRegistrySandbox registry;
    for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L"", L"Outer\\Inner"}) {
        CNTService service(name, L"Display", nullptr);
        EXPECT_FALSE(service.WriteParameterInt(L"S", L"E", 1));
        EXPECT_EQ(ERROR_INVALID_NAME, plat::LastError());
        DWORD error = 0;
        EXPECT_EQ(3, service.ReadParameterInt(L"S", L"E", 3, &error));
        EXPECT_EQ(ERROR_INVALID_NAME, error);
    }
    RegistryKeyOwner key;
    EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND),
              plat::RegistryOpenKey(plat::LocalMachineKey(), (kServices + L"Parameters").c_str(), KEY_READ,
                                    key.Receive()));
    EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND),
              plat::RegistryOpenKey(plat::LocalMachineKey(), (kServices + L"Outer").c_str(), KEY_READ, key.Receive()));
}

TEST_F(ParametersStoreTest, OpenParametersKeyReportsItsFirstFailure) {
    DWORD error = 99;
    RegistryKeyOwner key(OpenParametersKey(m_strName, TRUE, &error));
    ASSERT_NE(nullptr, key.Get());
    EXPECT_EQ(0u, error);
    const std::uint8_t byte = 5;
    EXPECT_EQ(ERROR_SUCCESS, plat::RegistrySetValue(key.Get(), L"direct", REG_BINARY, &byte, 1))
        << "the key is open for writing even for a read";
    RegistryKeyOwner refused(OpenParametersKey(L"", FALSE, &error));
    EXPECT_EQ(nullptr, refused.Get());
    EXPECT_EQ(ERROR_INVALID_NAME, error);
}

}  // namespace
