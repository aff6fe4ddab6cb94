// POSIX folder rights: the folders the program makes, and which mode bits on
// a folder or above it let others fill it.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/FolderRights.h"
#include "support/TempDir.h"

namespace {

std::string Narrow(const std::wstring& path) { return std::filesystem::path(path).string(); }

mode_t ModeOf(const std::wstring& path) {
    struct stat info {};
    EXPECT_EQ(::stat(Narrow(path).c_str(), &info), 0);
    return info.st_mode & 07777;
}

TEST(FolderRightsPosix, MadeFoldersAreReadableByAllAndWritableByTheOwnerWhateverTheUmask) {
    CTempDir dir;
    const mode_t umask = ::umask(077);
    EXPECT_TRUE(plat::MakeAdministratorsFolder(dir.PathOf(L"a/packages") + L"/"));
    ::umask(umask);
    EXPECT_EQ(ModeOf(dir.PathOf(L"a")), 0755u);
    EXPECT_EQ(ModeOf(dir.PathOf(L"a/packages")), 0755u);
    EXPECT_TRUE(plat::MakeAdministratorsFolder(dir.PathOf(L"a/packages")));  // there already
}

TEST(FolderRightsPosix, WriteBitsOnTheFolderOrAFolderAboveItThatIsNotStickyAndRootsAreFound) {
    CTempDir dir;
    const struct group* own = ::getgrgid(::getegid());
    const std::wstring ownGroup = L"group " + std::filesystem::path(own ? own->gr_name : "").wstring();
    // Sticky folders of other owners let their users move the folder away.
    const std::wstring stickyWriter = ::geteuid() == 0 ? L"" : L"other users";
    struct Case {
        std::vector<std::pair<std::wstring, mode_t>> modes;  // below the temporary folder, in order
        std::wstring account, grantedOn;
    };
    const std::vector<Case> cases = {
        {{{L"locked", 0755}, {L"locked/p", 0755}}, L"", L""},
        {{{L"open", 0755}, {L"open/p", 0777}}, L"other users", L"open/p"},
        {{{L"group", 0755}, {L"group/p", 0775}}, ownGroup, L"group/p"},
        {{{L"above", 0777}, {L"above/p", 0755}}, L"other users", L"above"},
        {{{L"sticky", 01777}, {L"sticky/p", 0755}}, stickyWriter, stickyWriter.empty() ? L"" : L"sticky"},
        {{{L"stickyitself", 0755}, {L"stickyitself/p", 01777}}, L"other users", L"stickyitself/p"},
    };
    for (const Case& c : cases) {
        for (const auto& [folder, mode] : c.modes) {
            ASSERT_TRUE(dir.MakeFolder(folder));
            ASSERT_EQ(::chmod(Narrow(dir.PathOf(folder)).c_str(), mode), 0);
        }
        const plat::FolderWriter writer = plat::FindOtherFolderWriter(dir.PathOf(c.modes.back().first) + L"/");
        EXPECT_EQ(writer.account, c.account) << c.modes.back().first;
        EXPECT_EQ(writer.grantedOn, c.grantedOn.empty() ? L"" : dir.PathOf(c.grantedOn)) << c.modes.back().first;
    }
    EXPECT_EQ(plat::FindOtherFolderWriter(dir.PathOf(L"missing")).account, L"");
}

}  // namespace
