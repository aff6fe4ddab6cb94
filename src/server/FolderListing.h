// The XML listing of a folder and its sub-folders that clients ask for with
// "ListFolderContents.asp".
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

// How many levels below the requested folder (depth 0) the listing goes.
constexpr int kFolderListingDepthLimit = 10;

// The largest listing document sent, counted in bytes of its UTF-8 form
// (the bytes sent on POSIX; on Windows, names in the code page take no more
// bytes, and a character outside it, written as a reference, at most three
// times its UTF-8 bytes). A listing is held in memory whole, so a tree that
// would pass it is not listed at all.
constexpr std::size_t kFolderListingSizeLimit = std::size_t{64} << 20;

// Returns the Folder element of `folderPath`:
//   <Folder Name="name"> entries </Folder>
// with no white space anywhere, where each entry is <File Name="name" /> or
// the nested Folder element of a sub-folder, in the file system's enumeration
// order (hidden entries included). Names are written as XML attribute text:
// & < > " ' as &amp; &lt; &gt; &quot; &apos;, tab, LF and CR as character
// references, and what XML cannot carry (other control characters, unpaired
// surrogates, bytes that are not UTF-8 on POSIX) as U+FFFD. Links to folders
// are followed like folders, except that a folder that is one of its own
// ancestors is written as an empty element under its own name and not
// entered. A folder deeper than `depthLimit` yields empty text; a folder that
// cannot be enumerated, or a path that names a file, yields an element with
// no entries. An element that would pass `sizeLimit` yields empty text.
std::wstring BuildFolderXml(int depth, const std::wstring& folderPath, int depthLimit,
                            std::size_t sizeLimit = kFolderListingSizeLimit);

// The whole listing document of `folderPath`: "<FileIndex>", its Folder
// element down to kFolderListingDepthLimit, "</FileIndex>". False, with one
// log line that says why and an empty `document`, when the document would
// pass `sizeLimit` (the caller answers "not found"), or without a line
// when `cancel` was set while it was built.
bool BuildFolderListingDocument(const std::wstring& folderPath, std::wstring& document,
                                std::size_t sizeLimit = kFolderListingSizeLimit,
                                const std::atomic<bool>* cancel = nullptr);
