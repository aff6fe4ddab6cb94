// The XML listing of a folder and its sub-folders that clients ask for with
// "ListFolderContents.asp".
#pragma once

#include <string>

// How many levels below the requested folder (depth 0) the listing goes.
constexpr int kFolderListingDepthLimit = 10;

// Returns the Folder element of `folderPath`:
//   <Folder Name="name"> entries </Folder>
// with no white space anywhere, where each entry is <File Name="name" /> or
// the nested Folder element of a sub-folder, in the file system's enumeration
// order ("." and ".." left out, hidden entries included). Links to folders
// are followed like folders; the depth limit keeps a link loop finite. Names
// are written as they are, without escaping. A folder deeper than
// `depthLimit` yields empty text; a folder that cannot be enumerated, or a
// path that names a file, yields an element with no entries.
std::wstring BuildFolderXml(int depth, const std::wstring& folderPath, int depthLimit);

// The same element appended to `xml`, for building a whole document in one string.
void AppendFolderXml(std::wstring& xml, int depth, const std::wstring& folderPath, int depthLimit);

// The whole listing document of `folderPath`: "<FileIndex>", its Folder
// element down to kFolderListingDepthLimit, "</FileIndex>". False when no
// document is to be sent for it (the caller answers "not found"; any log
// line that says why is written here).
bool BuildFolderListingDocument(const std::wstring& folderPath, std::wstring& document);
