// Builds the nested Folder/File elements of the folder listing.
#include "server/FolderListing.h"

#include <vector>

#include "platform/FolderEnum.h"

// The whole document grows in one string: a tree of thousands of entries
// is written without a formatted copy per entry or per sub-folder.
void AppendFolderXml(std::wstring& xml, int depth, const std::wstring& folderPath, int depthLimit) {
    if (depth > depthLimit) return;

    xml += L"<Folder Name=\"";
    xml += plat::LastPathComponent(folderPath);
    xml += L"\">";
    // A folder that cannot be enumerated, or a file, has no entries.
    std::vector<plat::FolderEntry> entries;
    plat::EnumerateFolder(folderPath, &entries);
    for (const plat::FolderEntry& entry : entries) {
        if (entry.isDots) continue;
        if (entry.isDirectory) {
            // A sub-folder one level past the limit would yield nothing, so
            // it is not even opened (and depth + 1 cannot overflow).
            if (depth < depthLimit) AppendFolderXml(xml, depth + 1, entry.fullPath, depthLimit);
        } else {
            xml += L"<File Name=\"";
            xml += entry.name;
            xml += L"\" />";
        }
    }
    xml += L"</Folder>";
}

std::wstring BuildFolderXml(int depth, const std::wstring& folderPath, int depthLimit) {
    std::wstring xml;
    AppendFolderXml(xml, depth, folderPath, depthLimit);
    return xml;
}

bool BuildFolderListingDocument(const std::wstring& folderPath, std::wstring& document) {
    // "<FileIndex>%s</FileIndex>" around the folder's element, built in place.
    document = L"<FileIndex>";
    AppendFolderXml(document, 0, folderPath, kFolderListingDepthLimit);
    document += L"</FileIndex>";
    return true;
}
