// Builds the nested Folder/File elements of the folder listing.
#include "server/FolderListing.h"

#include <vector>

#include "common/Format.h"
#include "platform/FolderEnum.h"

std::wstring BuildFolderXml(int depth, const std::wstring& folderPath, int depthLimit) {
    if (depth > depthLimit) return std::wstring();

    std::wstring xml = FormatW(L"<Folder Name=\"%s\">", plat::LastPathComponent(folderPath));
    // A folder that cannot be enumerated, or a file, has no entries.
    std::vector<plat::FolderEntry> entries;
    plat::EnumerateFolder(folderPath, &entries);
    for (const plat::FolderEntry& entry : entries) {
        if (entry.isDots) continue;
        if (entry.isDirectory) {
            // A sub-folder one level past the limit would yield nothing, so
            // it is not even opened (and depth + 1 cannot overflow).
            if (depth < depthLimit) xml += BuildFolderXml(depth + 1, entry.fullPath, depthLimit);
        } else {
            xml += FormatW(L"<File Name=\"%s\" />", entry.name);
        }
    }
    xml += L"</Folder>";
    return xml;
}
