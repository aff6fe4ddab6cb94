// Folder listings built on worker threads, so that the listener keeps serving everyone while a large tree is read.
//
// At most kWorkers builds run at once. Requests for a folder whose build has
// not finished share that build: one document, sent to each of them. A
// finished document is handed back to the listener thread, which takes it
// between notifications (TakeFinished) after `wakeListener` told it that
// something is ready. Documents count against the reply memory budget for
// as long as any reply still holds them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/Budget.h"

class CListingService {
  public:
    static constexpr unsigned kWorkers = 2;

    // A listing's document: its 8-bit text, counted while it lives.
    struct Document {
        std::string bytes;
        CBudgetLease lease;
    };
    // Who waits for a document: a connection and the pending reply it keeps for it.
    struct Waiter {
        std::uint64_t connection;
        std::uint64_t token;
        bool headOnly;
    };
    struct Finished {
        enum class Outcome { Built, TooLarge, NoMemory };
        Outcome outcome = Outcome::Built;
        std::wstring folder;
        std::shared_ptr<const Document> document;  // when Built
        std::vector<Waiter> waiters;
    };

    // Documents larger than `sizeLimit` bytes are not built. `afterBuild`,
    // when given, runs on the worker after each build, before its document
    // is handed back (a test holds finished builds there).
    CListingService(CBudget& replyMemory, std::size_t sizeLimit, std::function<void()> wakeListener,
                    std::function<void()> afterBuild = {});
    // Cancels the builds in progress and waits for the workers.
    ~CListingService();
    CListingService(const CListingService&) = delete;
    CListingService& operator=(const CListingService&) = delete;

    // Listener thread. Asks for the listing of the folder `fullPath` for
    // `waiter`, joining a build of the same folder that has not finished.
    // False when it cannot be asked (no memory, no worker thread).
    bool Request(const std::wstring& fullPath, const Waiter& waiter);
    // Listener thread. Whether builds finished since the last take (cheap).
    bool HasFinished() const { return m_bHasFinished.load(std::memory_order_acquire); }
    std::vector<Finished> TakeFinished();
    // The bytes of all documents built so far. A build takes many times its
    // document's size for a moment, on a worker thread whose allocator keeps
    // that memory for later: what is worth giving back to the system.
    std::uint64_t BuiltBytes() const { return m_nBuiltBytes.load(std::memory_order_relaxed); }

  private:
    struct Job {
        std::wstring folder;
        std::vector<Waiter> waiters;
        std::unique_ptr<Job> nextUnstored;  // see m_pUnstored
    };

    void WorkerMain();
    Finished Build(Job& job);
    // Hands a finished build back (m_mutex held). Without memory for its
    // entry, the job itself is kept instead, in m_pUnstored.
    void StoreFinished(Finished finished, std::unique_ptr<Job> job);

    CBudget& m_replyMemory;
    const std::size_t m_nSizeLimit;
    std::function<void()> m_wakeListener;
    std::function<void()> m_afterBuild;
    std::mutex m_mutex;
    std::condition_variable m_cvWork;
    std::deque<std::unique_ptr<Job>> m_lstQueued;
    std::map<std::wstring, Job*> m_mapUnfinished;  // queued or being built, by folder
    std::vector<Finished> m_lstFinished;
    // Finished builds whose entry could not be stored (no memory): their
    // waiters get the reply of a listing that ran out of memory.
    std::unique_ptr<Job> m_pUnstored;
    std::vector<std::thread> m_lstWorkers;
    std::atomic<std::uint64_t> m_nBuiltBytes{0};
    unsigned m_nIdleWorkers = 0;
    std::atomic<bool> m_bHasFinished{false};
    std::atomic<bool> m_bStopping{false};
};
