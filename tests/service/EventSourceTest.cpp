// Event-source registration in the registry of the build: the source's key
// and values and the log's "Sources" list. Each test uses an event log of its
// own, so the system's logs are never touched.
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
using Strings = std::vector<std::wstring>;

const std::wstring kEventLog = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\";

class EventSourceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_strLog = m_registry.UniqueName(L"VelmoraTestLog-");
        m_registry.RemoveAtEnd(kEventLog + m_strLog);
        ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(plat::LocalMachineKey(), (kEventLog + m_strLog).c_str(),
                                                         KEY_ALL_ACCESS, m_log.Receive()));
    }

    void SetSources(const Strings& sources) { ASSERT_TRUE(WriteMultiString(m_log.Get(), L"Sources", sources)); }

    Strings Sources() {
        Strings sources;
        EXPECT_TRUE(ReadMultiString(m_log.Get(), L"Sources", sources));
        return sources;
    }

    bool SourceKeyExists(const std::wstring& source) {
        RegistryKeyOwner key;
        return plat::RegistryOpenKey(m_log.Get(), source.c_str(), KEY_READ, key.Receive()) == ERROR_SUCCESS;
    }

    CRegistrySandbox m_registry;
    std::wstring m_strLog;
    RegistryKeyOwner m_log;
};

TEST_F(EventSourceTest, InstallWritesTheMessageFileAndTypesAndNamesTheSourceOnce) {
    SetSources({L"Existing"});
    ASSERT_TRUE(InstallEventSource(m_strLog, L"Velmora Source", L"C:\\Program Files\\Velmora\\VelmoraService.DLL"));
    ASSERT_TRUE(InstallEventSource(m_strLog, L"Velmora Source", L"C:\\Program Files\\Velmora\\VelmoraService.DLL"));
    EXPECT_EQ((Strings{L"Existing", L"Velmora Source"}), Sources());

    RegistryKeyOwner source;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryOpenKey(m_log.Get(), L"Velmora Source", KEY_READ, source.Receive()));
    DWORD type = 0;
    std::vector<std::uint8_t> file(200);
    DWORD size = static_cast<DWORD>(file.size());
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryQueryValue(source.Get(), L"EventMessageFile", &type, file.data(), &size));
    EXPECT_EQ(REG_SZ, type);
    const std::wstring path = L"C:\\Program Files\\Velmora\\VelmoraService.DLL";
    EXPECT_EQ((path.size() + 1) * 2, size);
    EXPECT_EQ(path + L'\0', plat::RegistryStringFromBytes(file.data(), size));
    std::uint32_t types = 0;
    size = sizeof types;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryQueryValue(source.Get(), L"TypesSupported", &type, &types, &size));
    EXPECT_EQ(REG_DWORD, type);
    EXPECT_EQ(7u, types);
}

TEST_F(EventSourceTest, AnEmptyListGetsTheSourceAsItsOnlyEntry) {
    SetSources({});
    ASSERT_TRUE(InstallEventSource(m_strLog, L"Src", L"file.dll"));
    EXPECT_EQ((Strings{L"Src"}), Sources());
    ASSERT_TRUE(UninstallEventSource(m_strLog, L"Src"));
    EXPECT_EQ(Strings{}, Sources());
    EXPECT_FALSE(SourceKeyExists(L"Src"));
}

TEST_F(EventSourceTest, UninstallRemovesOneEntryAndOnlyOneOfTheSameCase) {
    SetSources({L"src", L"Src", L"Other", L"Src"});
    ASSERT_TRUE(InstallEventSource(m_strLog, L"Src", L"file.dll"));
    EXPECT_EQ((Strings{L"src", L"Src", L"Other", L"Src"}), Sources()) << "already listed";
    ASSERT_TRUE(UninstallEventSource(m_strLog, L"Src"));
    EXPECT_EQ((Strings{L"src", L"Other", L"Src"}), Sources());
}

TEST_F(EventSourceTest, AnEntryInAnotherLetterCaseIsAnotherEntry) {
    SetSources({L"VELMORA"});
    ASSERT_TRUE(InstallEventSource(m_strLog, L"Velmora", L"file.dll"));
    EXPECT_EQ((Strings{L"VELMORA", L"Velmora"}), Sources());
    ASSERT_TRUE(InstallEventSource(m_strLog, L"Second", L"file.dll"));
    ASSERT_TRUE(UninstallEventSource(m_strLog, L"Velmora"));
    EXPECT_EQ((Strings{L"VELMORA", L"Second"}), Sources());
}

TEST_F(EventSourceTest, AListThatIsMissingOrOfAnotherTypeIsLeftAlone) {
    ASSERT_TRUE(InstallEventSource(m_strLog, L"Src", L"file.dll"));
    DWORD size = 0;
    EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND),
              plat::RegistryQueryValue(m_log.Get(), L"Sources", nullptr, nullptr, &size));
    ASSERT_TRUE(UninstallEventSource(m_strLog, L"Src"));

    const std::uint8_t text[] = {'S', 0, 'r', 0, 'c', 0, 0, 0};
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistrySetValue(m_log.Get(), L"Sources", REG_SZ, text, sizeof text));
    ASSERT_TRUE(InstallEventSource(m_strLog, L"Src", L"file.dll"));
    ASSERT_TRUE(UninstallEventSource(m_strLog, L"Src"));
    DWORD type = 0;
    std::uint8_t stored[16] = {};
    size = sizeof stored;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryQueryValue(m_log.Get(), L"Sources", &type, stored, &size));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(sizeof text, size);
}

TEST_F(EventSourceTest, AMissingLogOrSourceFailsWithFileNotFound) {
    const std::wstring missingLog = m_registry.UniqueName(L"VelmoraNoLog-");
    plat::SetLastErrorCode(0);
    EXPECT_FALSE(InstallEventSource(missingLog, L"Src", L"file.dll"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, plat::LastError());
    RegistryKeyOwner key;
    EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND),
              plat::RegistryOpenKey(plat::LocalMachineKey(), (kEventLog + missingLog).c_str(), KEY_READ, key.Receive()));

    SetSources({L"Src"});
    plat::SetLastErrorCode(0);
    EXPECT_FALSE(UninstallEventSource(m_strLog, L"Src")) << "the source's key was never made";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, plat::LastError());
    EXPECT_EQ((Strings{L"Src"}), Sources());
}

TEST_F(EventSourceTest, NamesThatWouldNameAnotherKeyAreRefused) {
    SetSources({});
    ASSERT_TRUE(InstallEventSource(m_strLog, L"Inner", L"file.dll"));
    for (const std::wstring& source : {std::wstring(), std::wstring(L"Inner\\Deeper")}) {
        EXPECT_FALSE(InstallEventSource(m_strLog, source, L"file.dll"));
        EXPECT_EQ(ERROR_INVALID_NAME, plat::LastError());
        EXPECT_FALSE(UninstallEventSource(m_strLog, source));
        EXPECT_EQ(ERROR_INVALID_NAME, plat::LastError());
    }
    EXPECT_FALSE(InstallEventSource(L"", L"Src", L"file.dll"));
    EXPECT_FALSE(UninstallEventSource(m_strLog + L"\\Inner", L"Src"));
    EXPECT_TRUE(SourceKeyExists(L"Inner"));
    EXPECT_EQ((Strings{L"Inner"}), Sources());
    DWORD size = 0;
    EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND),
              plat::RegistryQueryValue(m_log.Get(), L"EventMessageFile", nullptr, nullptr, &size));
}

TEST(EventSourceNewRegistry, TheApplicationLogOfANewRegistryListsAnInstalledSource) {
    CRegistrySandbox registry;
    if (!registry.IsPrivate()) GTEST_SKIP() << "the system's Application log is not for tests";
    ASSERT_TRUE(InstallEventSource(L"Application", L"Harbrook Velmora Service", L"/opt/velmora/VelmoraService.DLL"));
    RegistryKeyOwner log;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryOpenKey(plat::LocalMachineKey(), (kEventLog + L"Application").c_str(),
                                                   KEY_READ, log.Receive()));
    Strings sources;
    ASSERT_TRUE(ReadMultiString(log.Get(), L"Sources", sources));
    EXPECT_EQ((Strings{L"Harbrook Velmora Service"}), sources);
    ASSERT_TRUE(UninstallEventSource(L"Application", L"Harbrook Velmora Service"));
    ASSERT_TRUE(ReadMultiString(log.Get(), L"Sources", sources));
    EXPECT_EQ(Strings{}, sources);
}

}  // namespace
