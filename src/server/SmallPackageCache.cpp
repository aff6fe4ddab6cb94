// Small packages kept in memory while their file stays unchanged.
#include "server/SmallPackageCache.h"

#include <chrono>
#include <new>

#include "server/ReplyTextFile.h"
#include "threading/Clock.h"

CSmallPackageCache& CSmallPackageCache::Shared() {
    // Never destroyed: connections of a thread that outlives the exit
    // sequence must not find it gone.
    static CSmallPackageCache* const cache = new CSmallPackageCache(kSettledNs, true);
    return *cache;
}

std::unique_ptr<CFile> CSmallPackageCache::Find(const std::wstring& fullPath) {
    // Read before the stamp is: a stamp that matches was the file's at this tick or later.
    const std::uint64_t tick = TickCount64();
    {
        // Most paths were never kept: they cost a lookup, not a look at the disk.
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_mapPackages.find(fullPath);
        if (found == m_mapPackages.end()) return nullptr;
        if (m_bTrustWithinTick && found->second.matchedTick == tick) return Answer(found->second);
    }
    FileStamp now;
    const bool regular = plat::QueryRegularFileStamp(fullPath, now);
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_mapPackages.find(fullPath);
    if (found == m_mapPackages.end()) return nullptr;
    if (!regular || !found->second.stamp.SameContentAs(now)) {
        // Changed, replaced or gone: the next open decides, and may keep it again.
        m_lstRecent.erase(found->second.recent);
        m_mapPackages.erase(found);
        return nullptr;
    }
    found->second.matchedTick = tick;
    return Answer(found->second);
}

std::unique_ptr<CFile> CSmallPackageCache::Answer(Package& found) {
    m_lstRecent.splice(m_lstRecent.begin(), m_lstRecent, found.recent);
    return std::unique_ptr<CFile>(new (std::nothrow) CReplyTextFile(found.bytes, found.fileName));
}

std::unique_ptr<CFile> CSmallPackageCache::Keep(const std::wstring& fullPath, CDiskFile& file) {
    FileStamp before;
    if (!file.GetStamp(before) || before.size > kLargestPackage) return nullptr;
    // Change times count from 1970 on the system clock, as system_clock does.
    const std::int64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::system_clock::now().time_since_epoch()).count();
    if (nowNs - before.changedNs < m_nSettledNs) return nullptr;  // may still be being written
    std::shared_ptr<std::string> bytes;
    std::shared_ptr<const std::wstring> fileName;
    std::unique_ptr<CFile> kept;
    try {
        bytes = std::make_shared<std::string>(static_cast<std::size_t>(before.size), '\0');
        const UINT count = file.Read(bytes->data(), static_cast<UINT>(before.size));
        FileStamp after;
        if (file.Failed() || count != before.size || !file.GetStamp(after) || !after.SameContentAs(before)) {
            // Changed while it was read: it goes out the usual way, from the start.
            file.SeekToBegin();
            return nullptr;
        }
        fileName = std::make_shared<const std::wstring>(file.GetFileName());
        kept.reset(new CReplyTextFile(bytes, fileName));
    } catch (const std::bad_alloc&) {
        // No memory to keep it: whatever was read goes out the usual way.
        file.SeekToBegin();
        return nullptr;
    }
    file.Close();

    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto [entry, added] = m_mapPackages.try_emplace(fullPath);
        if (added) {
            try {
                m_lstRecent.push_front(fullPath);
            } catch (...) {
                m_mapPackages.erase(entry);
                throw;
            }
            entry->second.recent = m_lstRecent.begin();
        } else {
            m_lstRecent.splice(m_lstRecent.begin(), m_lstRecent, entry->second.recent);
        }
        // Nothing below throws: the entry is whole or was never added.
        entry->second.stamp = before;
        entry->second.bytes = bytes;
        entry->second.fileName = std::move(fileName);
        entry->second.matchedTick = kNoTick;
        while (m_mapPackages.size() > kMaxPackages) {
            m_mapPackages.erase(m_lstRecent.back());
            m_lstRecent.pop_back();
        }
    } catch (const std::bad_alloc&) {
        // Not kept for later; this reply still has its bytes.
    }
    return kept;
}

std::size_t CSmallPackageCache::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mapPackages.size();
}
