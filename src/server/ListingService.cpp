// The listing workers: a queue of folders, shared builds, finished documents handed back to the listener.
#include "server/ListingService.h"

#include <new>
#include <system_error>

#include "platform/Text.h"
#include "server/FolderListing.h"

CListingService::CListingService(CBudget& replyMemory, std::size_t sizeLimit, std::function<void()> wakeListener,
                                 std::function<void()> afterBuild)
    : m_replyMemory(replyMemory),
      m_nSizeLimit(sizeLimit),
      m_wakeListener(std::move(wakeListener)),
      m_afterBuild(std::move(afterBuild)) {}

CListingService::~CListingService() {
    {
        std::lock_guard lock(m_mutex);
        m_bStopping = true;
    }
    m_cvWork.notify_all();
    for (std::thread& worker : m_lstWorkers) worker.join();
}

bool CListingService::Request(const std::wstring& fullPath, const Waiter& waiter) {
    try {
        std::lock_guard lock(m_mutex);
        if (const auto found = m_mapUnfinished.find(fullPath); found != m_mapUnfinished.end()) {
            found->second->waiters.push_back(waiter);
            return true;
        }
        auto job = std::make_unique<Job>(Job{fullPath, {waiter}, nullptr});
        m_mapUnfinished.emplace(fullPath, job.get());
        m_lstQueued.push_back(std::move(job));
        // Workers are started as builds need them, and stay for later ones.
        if (m_nIdleWorkers == 0 && m_lstWorkers.size() < kWorkers) {
            try {
                m_lstWorkers.emplace_back(&CListingService::WorkerMain, this);
            } catch (const std::system_error&) {
                if (m_lstWorkers.empty()) {
                    m_mapUnfinished.erase(fullPath);
                    m_lstQueued.pop_back();
                    return false;
                }
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_cvWork.notify_one();
    return true;
}

std::vector<CListingService::Finished> CListingService::TakeFinished() {
    std::lock_guard lock(m_mutex);
    while (m_pUnstored) {
        // May throw: the jobs not taken stay, and so does the notice.
        m_lstFinished.reserve(m_lstFinished.size() + 1);
        std::unique_ptr<Job> job = std::move(m_pUnstored);
        m_pUnstored = std::move(job->nextUnstored);
        Finished unstored;
        unstored.outcome = Finished::Outcome::NoMemory;
        unstored.folder = std::move(job->folder);
        unstored.waiters = std::move(job->waiters);
        m_lstFinished.push_back(std::move(unstored));
    }
    m_bHasFinished.store(false, std::memory_order_release);
    return std::move(m_lstFinished);
}

void CListingService::WorkerMain() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        ++m_nIdleWorkers;
        m_cvWork.wait(lock, [this] { return m_bStopping || !m_lstQueued.empty(); });
        --m_nIdleWorkers;
        if (m_bStopping) return;
        std::unique_ptr<Job> job = std::move(m_lstQueued.front());
        m_lstQueued.pop_front();
        lock.unlock();
        Finished finished = Build(*job);
        if (m_afterBuild) m_afterBuild();
        lock.lock();
        // Waiters that joined during the build get this document too.
        m_mapUnfinished.erase(job->folder);
        StoreFinished(std::move(finished), std::move(job));
        m_bHasFinished.store(true, std::memory_order_release);
        lock.unlock();
        m_wakeListener();
        lock.lock();
    }
}

void CListingService::StoreFinished(Finished finished, std::unique_ptr<Job> job) {
    try {
        m_lstFinished.reserve(m_lstFinished.size() + 1);
    } catch (const std::bad_alloc&) {
        // Kept without a new allocation, so its waiters are still answered.
        job->nextUnstored = std::move(m_pUnstored);
        m_pUnstored = std::move(job);
        return;
    }
    finished.waiters = std::move(job->waiters);
    finished.folder = std::move(job->folder);
    m_lstFinished.push_back(std::move(finished));
}

CListingService::Finished CListingService::Build(Job& job) {
    Finished finished;
    try {
        std::wstring text;
        if (!BuildFolderListingDocument(job.folder, text, m_nSizeLimit, &m_bStopping)) {
            finished.outcome = Finished::Outcome::TooLarge;
            return finished;
        }
        auto document = std::make_shared<Document>();
        document->bytes = plat::XmlDocumentToAnsi(text);
        std::wstring().swap(text);
        document->lease = CBudgetLease(m_replyMemory, document->bytes.size());
        m_nBuiltBytes.fetch_add(document->bytes.size(), std::memory_order_relaxed);
        finished.document = std::move(document);
    } catch (const std::bad_alloc&) {
        finished.outcome = Finished::Outcome::NoMemory;
    }
    return finished;
}
