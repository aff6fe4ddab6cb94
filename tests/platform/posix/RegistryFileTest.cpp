// The POSIX registry's own file rules: where it lives, what a new one holds,
// writers killed at random moments, writers in several processes, and files
// it cannot read.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/Utf8.h"
#include "platform/Registry.h"
#include "platform/RegistryCodes.h"
#include "platform/Win32Codes.h"
#include "support/RegistrySandbox.h"

namespace {

using plat::RegistryKeyOwner;

std::string FolderFile(const CRegistrySandbox& registry, const char* name) {
    return WideToUtf8(registry.Folder()) + "/" + name;
}

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// A payload that tells by itself whether it is whole: every byte is the
// round number's low byte, and the length follows from that byte.
std::vector<std::uint8_t> Payload(unsigned sequence) {
    const auto mark = static_cast<std::uint8_t>(sequence % 251);
    return std::vector<std::uint8_t>(40000 + (mark % 7) * 5000, mark);
}

bool IsWholePayload(const std::vector<std::uint8_t>& data) {
    if (data.empty()) return false;
    return data == std::vector<std::uint8_t>(40000 + (data[0] % 7) * 5000, data[0]);
}

// Runs `body` in a child process that ends with _exit(body's result).
template <typename Body>
pid_t ForkChild(Body body) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    return child;
}

int WaitExitCode(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PosixRegistryFile, LivesInTheFolderThatTheEnvironmentNames) {
    {
        CRegistrySandbox registry;
        ASSERT_TRUE(registry.IsPrivate());
        EXPECT_EQ(registry.Folder(), plat::RegistryRootFolder());
    }
    const char* outer = std::getenv("VELMORA_REGISTRY_ROOT");
    if (outer == nullptr || outer[0] == '\0') {
        EXPECT_EQ(L"/var/lib/velmora/registry", plat::RegistryRootFolder());
    }
}

TEST(PosixRegistryFile, ANewRegistryHoldsTheApplicationLogAndIsWrittenOnlyByAChange) {
    CRegistrySandbox registry;
    ASSERT_TRUE(registry.IsPrivate());
    RegistryKeyOwner log;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryOpenKey(plat::LocalMachineKey(),
                                                   L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application",
                                                   KEY_READ, log.Receive()));
    DWORD type = 0;
    std::uint8_t data[8] = {0xFF, 0xFF};
    DWORD size = sizeof data;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryQueryValue(log.Get(), L"Sources", &type, data, &size));
    EXPECT_EQ(REG_MULTI_SZ, type);
    EXPECT_EQ(2u, size);
    EXPECT_EQ(0, data[0] | data[1]);

    const std::string file = FolderFile(registry, "HKEY_LOCAL_MACHINE.reg");
    EXPECT_FALSE(FileExists(file)) << "reading writes nothing";
    RegistryKeyOwner key;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(plat::LocalMachineKey(), L"SOFTWARE\\Velmora", KEY_ALL_ACCESS,
                                                     key.Receive()));
    EXPECT_EQ(0u, ReadFile(file).rfind("VelmoraRegistry 1\n", 0));
    EXPECT_FALSE(FileExists(file + ".tmp"));
}

TEST(PosixRegistryFile, AFileThatIsNotAWholeRegistryIsReportedAndNeverOverwritten) {
    CRegistrySandbox registry;
    ASSERT_TRUE(registry.IsPrivate());
    RegistryKeyOwner key;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(plat::LocalMachineKey(), L"SOFTWARE\\Velmora", KEY_ALL_ACCESS,
                                                     key.Receive()));
    const std::string file = FolderFile(registry, "HKEY_LOCAL_MACHINE.reg");
    const std::string whole = ReadFile(file);
    const std::string cut = whole.substr(0, whole.size() - 4);  // without "end\n"
    for (const std::string& bad : {cut, std::string("garbage\n"), std::string()}) {
        WriteFile(file, bad);
        RegistryKeyOwner other;
        EXPECT_EQ(static_cast<LONG>(ERROR_REGISTRY_CORRUPT),
                  plat::RegistryOpenKey(plat::LocalMachineKey(), L"SOFTWARE", KEY_READ, other.Receive()));
        const std::uint8_t byte = 1;
        EXPECT_EQ(static_cast<LONG>(ERROR_REGISTRY_CORRUPT),
                  plat::RegistrySetValue(key.Get(), L"v", REG_BINARY, &byte, 1));
        EXPECT_EQ(bad, ReadFile(file));
    }
}

TEST(PosixRegistryFile, EveryCutOrDamagedFileGivesAClearResult) {
    CRegistrySandbox registry;
    ASSERT_TRUE(registry.IsPrivate());
    RegistryKeyOwner key;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(plat::LocalMachineKey(), L"SOFTWARE\\Odd \"name\" \\ \x00e9",
                                                     KEY_ALL_ACCESS, key.Receive()));
    const std::uint8_t bytes[] = {0, 0xFF, 0x10};
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistrySetValue(key.Get(), L"v\n", 0x7FFFFFFF, bytes, sizeof bytes));
    const std::string file = FolderFile(registry, "HKEY_LOCAL_MACHINE.reg");
    const std::string whole = ReadFile(file);
    for (std::size_t length = 0; length < whole.size(); ++length) {
        WriteFile(file, whole.substr(0, length));
        RegistryKeyOwner other;
        ASSERT_EQ(static_cast<LONG>(ERROR_REGISTRY_CORRUPT),
                  plat::RegistryOpenKey(plat::LocalMachineKey(), L"SOFTWARE", KEY_READ, other.Receive()))
            << "cut after " << length << " bytes";
    }
    std::mt19937 random(4711);
    for (int round = 0; round < 500; ++round) {
        std::string damaged = whole;
        damaged[random() % damaged.size()] = static_cast<char>(random() % 256);
        WriteFile(file, damaged);
        RegistryKeyOwner other;
        const LONG status = plat::RegistryOpenKey(key.Get(), nullptr, KEY_READ, other.Receive());
        EXPECT_TRUE(status == ERROR_SUCCESS || status == static_cast<LONG>(ERROR_REGISTRY_CORRUPT) ||
                    status == static_cast<LONG>(ERROR_KEY_DELETED))
            << status;
    }
    WriteFile(file, whole);
    std::uint8_t read[3] = {};
    DWORD type = 0;
    DWORD size = sizeof read;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryQueryValue(key.Get(), L"v\n", &type, read, &size));
    EXPECT_EQ(0x7FFFFFFFu, type);
    EXPECT_EQ(0, std::memcmp(read, bytes, sizeof bytes));
}

TEST(PosixRegistryFile, AWriterKilledAtAnyMomentNeverLeavesATornValue) {
    CRegistrySandbox registry;
    ASSERT_TRUE(registry.IsPrivate());
    RegistryKeyOwner key;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(plat::LocalMachineKey(), L"SOFTWARE\\Torn", KEY_ALL_ACCESS,
                                                     key.Receive()));
    std::mt19937 random(12345);
    unsigned killedWhileWriting = 0;
    for (unsigned round = 0; round < 40; ++round) {
        const pid_t writer = ForkChild([&key, round] {
            for (unsigned i = 0;; ++i) {
                const std::vector<std::uint8_t> data = Payload(round * 1000 + i);
                if (plat::RegistrySetValue(key.Get(), L"v", REG_BINARY, data.data(),
                                           static_cast<DWORD>(data.size())) != ERROR_SUCCESS)
                    return 1;
            }
        });
        ASSERT_GT(writer, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
        ::kill(writer, SIGKILL);
        int status = 0;
        ASSERT_EQ(writer, ::waitpid(writer, &status, 0));
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own in round " << round;
        if (FileExists(FolderFile(registry, "HKEY_LOCAL_MACHINE.reg.tmp"))) ++killedWhileWriting;

        DWORD size = 0;
        const LONG status1 = plat::RegistryQueryValue(key.Get(), L"v", nullptr, nullptr, &size);
        if (status1 == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) continue;  // killed before its first write
        ASSERT_EQ(ERROR_SUCCESS, status1) << "round " << round;
        std::vector<std::uint8_t> data(size);
        ASSERT_EQ(ERROR_SUCCESS, plat::RegistryQueryValue(key.Get(), L"v", nullptr, data.data(), &size));
        ASSERT_TRUE(IsWholePayload(data)) << "round " << round << ": a torn value of " << size << " bytes";
    }
    // A temporary file left by a killed writer is no obstacle to the next one.
    const std::vector<std::uint8_t> last = Payload(7);
    EXPECT_EQ(ERROR_SUCCESS, plat::RegistrySetValue(key.Get(), L"v", REG_BINARY, last.data(),
                                                    static_cast<DWORD>(last.size())));
    EXPECT_FALSE(FileExists(FolderFile(registry, "HKEY_LOCAL_MACHINE.reg.tmp")));
    std::printf("writers killed while writing: %u of 40\n", killedWhileWriting);
}

TEST(PosixRegistryFile, TwoProcessesWritingTheSameKeyLoseNothing) {
    CRegistrySandbox registry;
    ASSERT_TRUE(registry.IsPrivate());
    RegistryKeyOwner key;
    ASSERT_EQ(ERROR_SUCCESS, plat::RegistryCreateKey(plat::LocalMachineKey(), L"SOFTWARE\\Shared", KEY_ALL_ACCESS,
                                                     key.Receive()));
    constexpr unsigned kValuesEach = 60;
    auto writer = [](unsigned process) {
        return [process] {
            // Each process opens its own key, as another program would.
            RegistryKeyOwner own;
            if (plat::RegistryOpenKey(plat::LocalMachineKey(), L"SOFTWARE\\Shared", KEY_ALL_ACCESS, own.Receive()) !=
                ERROR_SUCCESS)
                return 1;
            for (unsigned i = 0; i < kValuesEach; ++i) {
                const std::wstring name = L"p" + std::to_wstring(process) + L"-" + std::to_wstring(i);
                const std::uint32_t content = process * 100000 + i;
                if (plat::RegistrySetValue(own.Get(), name.c_str(), REG_DWORD, &content, sizeof content) !=
                    ERROR_SUCCESS)
                    return 2;
                RegistryKeyOwner sub;  // and keys below it
                if (plat::RegistryCreateKey(own.Get(), name.c_str(), KEY_ALL_ACCESS, sub.Receive()) != ERROR_SUCCESS)
                    return 3;
            }
            return 0;
        };
    };
    const pid_t first = ForkChild(writer(1));
    const pid_t second = ForkChild(writer(2));
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_EQ(0, WaitExitCode(first));
    EXPECT_EQ(0, WaitExitCode(second));

    for (unsigned process = 1; process <= 2; ++process) {
        for (unsigned i = 0; i < kValuesEach; ++i) {
            const std::wstring name = L"p" + std::to_wstring(process) + L"-" + std::to_wstring(i);
            std::uint32_t content = 0;
            DWORD size = sizeof content;
            ASSERT_EQ(ERROR_SUCCESS, plat::RegistryQueryValue(key.Get(), name.c_str(), nullptr, &content, &size))
                << WideToUtf8(name);
            EXPECT_EQ(process * 100000 + i, content);
            RegistryKeyOwner sub;
            EXPECT_EQ(ERROR_SUCCESS, plat::RegistryOpenKey(key.Get(), name.c_str(), KEY_READ, sub.Receive()));
        }
    }
}

}  // namespace
