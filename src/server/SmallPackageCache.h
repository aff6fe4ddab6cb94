// The bytes of small packages that stay unchanged, kept so that repeated
// requests for them cost one look at the file instead of an open, a read
// and a close.
//
// A package is kept only when it is small and its last change lies some
// seconds in the past when it is read: the file system's change time moves
// with every later write, rename or permission change, so a stamp that still
// matches at the next request proves the kept bytes are the file's bytes.
// The stamp is looked at afresh once per tick of the program's clock (a few
// milliseconds): a replaced, changed or removed package is answered from
// memory only by requests handled within the tick in which its stamp last
// matched, as if they had come that moment. Under load this saves a look at
// the disk per request; at any other time every request looks. Where the
// platform offers no such stamp (Windows) nothing is kept and every request
// opens the file.
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

    // `trustWithinTick`: a stamp that matched in the current clock tick is
    // not looked at again (the server's cache); otherwise every Find looks.
    explicit CSmallPackageCache(std::int64_t settledNs = kSettledNs, bool trustWithinTick = false)
        : m_nSettledNs(settledNs), m_bTrustWithinTick(trustWithinTick) {}

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
        std::shared_ptr<const std::wstring> fileName;  // without its folder, for the transfer's log line
        std::list<std::wstring>::iterator recent;  // position in m_lstRecent
        std::uint64_t matchedTick = kNoTick;  // the clock tick in which the stamp last matched
    };
    static constexpr std::uint64_t kNoTick = ~std::uint64_t{0};

    // The kept bytes of `found` as a file to send; it becomes the most recently requested.
    std::unique_ptr<CFile> Answer(Package& found);

    const std::int64_t m_nSettledNs;
    const bool m_bTrustWithinTick;
    mutable std::mutex m_mutex;
    std::unordered_map<std::wstring, Package> m_mapPackages;
    std::list<std::wstring> m_lstRecent;  // most recently requested first
};
