// The bytes of small packages that stay unchanged, kept so that repeated
// requests for them cost one look at the file instead of an open, a read
// and a close.
//
// A package is kept only when it is small and its last change lies some
// seconds in the past when it is read: the file system's change time moves
// with every later write, rename or permission change, so a stamp that still
// matches at the next request proves the kept bytes are the file's bytes.
// Every request looks at the file afresh: a replaced, changed or removed
// package is never answered from memory. Where the platform offers no such
// stamp (Windows) nothing is kept and every request opens the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/File.h"

class CSmallPackageCache {
  public:
    // Packages up to this size are kept, at most this many of them (the
    // least recently requested goes first).
    static constexpr std::uint64_t kLargestPackage = 64 * 1024;
    static constexpr std::size_t kMaxPackages = 64;
    // How long a package must have stayed unchanged before it is kept.
    static constexpr std::int64_t kSettledNs = 2'000'000'000;

    explicit CSmallPackageCache(std::int64_t settledNs = kSettledNs) : m_nSettledNs(settledNs) {}

    // The kept bytes of the package at `fullPath` as a file to send, when its
    // stamp still matches; null otherwise (the caller opens the file).
    std::unique_ptr<CFile> Find(const std::wstring& fullPath);

    // After the caller opened `file` (at `fullPath`): when it is small and
    // settled, reads it whole, keeps its bytes, closes it and returns them as
    // the file to send. Null when it is not kept; `file` is then untouched.
    std::unique_ptr<CFile> Keep(const std::wstring& fullPath, CDiskFile& file);

    std::size_t Count() const;

    // The cache the server's connections share.
    static CSmallPackageCache& Shared();

  private:
    struct Package {
        FileStamp stamp;
        std::shared_ptr<const std::string> bytes;
        std::wstring fileName;  // without its folder, for the transfer's log line
        std::list<std::wstring>::iterator recent;  // position in m_lstRecent
    };

    const std::int64_t m_nSettledNs;
    mutable std::mutex m_mutex;
    std::unordered_map<std::wstring, Package> m_mapPackages;
    std::list<std::wstring> m_lstRecent;  // most recently requested first
};
