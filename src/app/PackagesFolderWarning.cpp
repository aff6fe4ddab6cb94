// The warning about a packages folder that users besides the administrators can fill.
#include "app/PackagesFolderWarning.h"

#include "common/Format.h"
#include "platform/FolderRights.h"

std::wstring PackagesFolderWarning(const std::wstring& folder) {
    const plat::FolderWriter writer = plat::FindOtherFolderWriter(folder);
    if (writer.account.empty()) return std::wstring();
    return FormatW(L"Warning: the packages folder '%s' can be filled by others than administrators: '%s' can write to "
                   L"'%s'",
                   folder, writer.account, writer.grantedOn);
}
