// POSIX thread message queues with socket readiness in the same wait.
#include "platform/MessageQueue.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/Handles.h"
#include "platform/Win32Codes.h"
#include "platform/posix/PosixObjects.h"
#include "platform/posix/ThreadQueue.h"

namespace plat::posix {
namespace {

// Message id of a readiness notice; never posted by anyone.
constexpr UINT kReadinessMessage = 0xC0DE;

struct ReadyNotice {
    ReadinessSink* sink;
    int fd;
    std::uint32_t events;
};

struct ThreadQueue {
    // Shared with posting threads.
    std::mutex mutex;
    std::deque<ThreadMsg> posted;
    bool closed = false;
    int wakeFd = -1;  // eventfd: written when a post finds the queue empty

    // Owner thread only.
    int epollFd = -1;
    std::deque<ReadyNotice> ready;
    std::unordered_map<int, ReadinessSink*> watched;
    bool preferReady = false;

    ~ThreadQueue() {
        if (wakeFd >= 0) ::close(wakeFd);
        if (epollFd >= 0) ::close(epollFd);
    }
};

std::mutex g_registryMutex;
std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>>& Registry() {
    static auto* registry = new std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>>();
    return *registry;
}

// Unregisters the thread's queue when the thread ends, so later posts fail with 1444.
struct QueueOwner {
    std::shared_ptr<ThreadQueue> queue;
    DWORD threadId = 0;
    ~QueueOwner() { Close(); }
    void Close() {
        if (!queue) return;
        {
            std::lock_guard lock(g_registryMutex);
            Registry().erase(threadId);
        }
        {
            std::lock_guard lock(queue->mutex);
            queue->closed = true;
            queue->posted.clear();
        }
        queue.reset();
    }
};
thread_local QueueOwner t_owner;

ThreadQueue* OwnQueue() {
    if (t_owner.queue) return t_owner.queue.get();
    auto queue = std::make_shared<ThreadQueue>();
    queue->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    queue->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (queue->wakeFd < 0 || queue->epollFd < 0) {
        SetLastErrorCode(Win32FromErrno(errno));
        return nullptr;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = queue->wakeFd;
    if (::epoll_ctl(queue->epollFd, EPOLL_CTL_ADD, queue->wakeFd, &ev) != 0) {
        SetLastErrorCode(Win32FromErrno(errno));
        return nullptr;
    }
    t_owner.threadId = CurrentThreadId();
    t_owner.queue = queue;
    std::lock_guard lock(g_registryMutex);
    Registry()[t_owner.threadId] = queue;
    return queue.get();
}

void DrainWake(ThreadQueue& q) {
    std::uint64_t value;
    while (::read(q.wakeFd, &value, sizeof value) == sizeof value) {
    }
}

// Moves readiness from epoll into the ready list; waits up to `timeoutMs` (-1: forever).
void Harvest(ThreadQueue& q, int timeoutMs) {
    epoll_event events[64];
    int n;
    do {
        n = ::epoll_wait(q.epollFd, events, 64, timeoutMs);
    } while (n < 0 && errno == EINTR);
    for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == q.wakeFd) {
            DrainWake(q);
            continue;
        }
        auto it = q.watched.find(fd);
        if (it == q.watched.end()) continue;
        bool merged = false;
        for (auto& notice : q.ready) {
            if (notice.fd == fd) {
                notice.events |= events[i].events;
                merged = true;
                break;
            }
        }
        if (!merged) q.ready.push_back({it->second, fd, events[i].events});
    }
}

// The monotonic clock in milliseconds, for the wait's time-out.
std::uint64_t TickCount64Ms() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

bool TakePosted(ThreadQueue& q, ThreadMsg* msg, bool remove) {
    std::lock_guard lock(q.mutex);
    if (q.posted.empty()) return false;
    *msg = q.posted.front();
    if (remove) q.posted.pop_front();
    return true;
}

bool TakeReady(ThreadQueue& q, ReadyNotice* notice, bool remove) {
    if (q.ready.empty()) return false;
    *notice = q.ready.front();
    if (remove) q.ready.pop_front();
    return true;
}

enum class Next { Nothing, Posted, Ready };

// Posted messages and socket readiness take turns, so neither starves the
// other. A posted message lands in `msg`, readiness in `notice`.
Next TakeNext(ThreadQueue& q, ThreadMsg* msg, ReadyNotice* notice, bool remove) {
    if (q.ready.empty()) Harvest(q, 0);
    if (q.preferReady && TakeReady(q, notice, remove)) {
        if (remove) q.preferReady = false;
        return Next::Ready;
    }
    if (TakePosted(q, msg, remove)) {
        if (remove) q.preferReady = true;
        return Next::Posted;
    }
    return TakeReady(q, notice, remove) ? Next::Ready : Next::Nothing;
}

}  // namespace

void CloseOwnQueue() { t_owner.Close(); }

bool WatchDescriptor(int fd, std::uint32_t events, ReadinessSink* sink) {
    ThreadQueue* q = OwnQueue();
    if (!q) return false;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    if (::epoll_ctl(q->epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        SetLastErrorCode(Win32FromErrno(errno));
        return false;
    }
    q->watched[fd] = sink;
    return true;
}

bool ChangeDescriptor(int fd, std::uint32_t events, ReadinessSink* sink) {
    ThreadQueue* q = OwnQueue();
    if (!q) return false;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    if (::epoll_ctl(q->epollFd, EPOLL_CTL_MOD, fd, &ev) != 0) {
        SetLastErrorCode(Win32FromErrno(errno));
        return false;
    }
    q->watched[fd] = sink;
    return true;
}

namespace {
void DropDescriptor(ThreadQueue& q, int fd, ReadinessSink* sink) {
    q.watched.erase(fd);
    for (auto it = q.ready.begin(); it != q.ready.end();) {
        if (it->sink == sink || it->fd == fd) it = q.ready.erase(it);
        else ++it;
    }
}
}  // namespace

void UnwatchDescriptor(int fd, ReadinessSink* sink) {
    ThreadQueue* q = OwnQueue();
    if (!q) return;
    ::epoll_ctl(q->epollFd, EPOLL_CTL_DEL, fd, nullptr);
    DropDescriptor(*q, fd, sink);
}

void ForgetDescriptor(int fd, ReadinessSink* sink) {
    ThreadQueue* q = OwnQueue();
    if (!q) return;
    DropDescriptor(*q, fd, sink);
}

void ReportReadiness(int fd, std::uint32_t events, ReadinessSink* sink) {
    ThreadQueue* q = OwnQueue();
    if (!q) return;
    for (auto& notice : q->ready) {
        if (notice.fd == fd) {
            notice.events |= events;
            return;
        }
    }
    q->ready.push_back({sink, fd, events});
}

}  // namespace plat::posix

namespace plat {

using namespace plat::posix;

BOOL EnsureThreadMessageQueue() { return OwnQueue() != nullptr ? TRUE : FALSE; }

BOOL PostToThread(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<ThreadQueue> q;
    {
        std::lock_guard lock(g_registryMutex);
        auto it = Registry().find(threadId);
        if (it != Registry().end()) q = it->second;
    }
    if (!q) {
        SetLastErrorCode(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    bool wake;
    {
        std::lock_guard lock(q->mutex);
        if (q->closed) {
            SetLastErrorCode(ERROR_INVALID_THREAD_ID);
            return FALSE;
        }
        if (q->posted.size() >= kThreadQueueCapacity) {
            SetLastErrorCode(ERROR_NOT_ENOUGH_QUOTA);
            return FALSE;
        }
        wake = q->posted.empty();
        q->posted.push_back(ThreadMsg{nullptr, message, wParam, lParam});
    }
    if (wake) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(q->wakeFd, &one, sizeof one);
    }
    return TRUE;
}

Taken TakeNextMessage(ThreadMsg* msg, DWORD timeoutMs, NotificationGate* gate) {
    ThreadQueue* q = OwnQueue();
    if (!q) {
        *msg = ThreadMsg{};
        return Taken::Message;
    }
    const std::uint64_t deadline = timeoutMs == kWaitForever ? 0 : TickCount64Ms() + timeoutMs;
    for (;;) {
        // The wake-up is drained only when the wait reports it (in Harvest),
        // not on every message: the eventfd stays readable until then, so a
        // post can never be missed, and a busy loop saves one read per
        // message at the price of at most one empty pass after a post.
        ReadyNotice notice{};
        switch (TakeNext(*q, msg, &notice, true)) {
            case Next::Posted: return msg->message == WM_QUIT ? Taken::Quit : Taken::Message;
            case Next::Ready:
                // Straight to the socket: readiness is no message of the loop's.
                *msg = ThreadMsg{};
                if (gate) gate->BeforeNotification();
                notice.sink->OnReadiness(notice.events);
                return Taken::Notified;
            case Next::Nothing: break;
        }
        int waitMs = -1;
        if (timeoutMs != kWaitForever) {
            const std::uint64_t now = TickCount64Ms();
            if (now >= deadline) {
                *msg = ThreadMsg{};
                return Taken::Message;
            }
            waitMs = static_cast<int>(deadline - now);
        }
        Harvest(*q, waitMs);
    }
}

BOOL WaitNextMessage(ThreadMsg* msg, DWORD timeoutMs) {
    ThreadQueue* q = OwnQueue();
    if (!q) return FALSE;
    return TakeNextMessage(msg, timeoutMs, nullptr) == Taken::Quit ? FALSE : TRUE;
}

BOOL PeekNextMessage(ThreadMsg* msg, bool remove) {
    ThreadQueue* q = OwnQueue();
    if (!q) return FALSE;
    ReadyNotice notice{};
    switch (TakeNext(*q, msg, &notice, remove)) {
        case Next::Posted: return TRUE;
        case Next::Ready:
            *msg = ThreadMsg{notice.sink, kReadinessMessage, static_cast<WPARAM>(notice.fd),
                             static_cast<LPARAM>(notice.events)};
            return TRUE;
        case Next::Nothing: break;
    }
    return FALSE;
}

bool MessagePassEnded() {
    // The next take asks epoll again once the harvested readiness is all taken.
    ThreadQueue* q = OwnQueue();
    return q == nullptr || q->ready.empty();
}

void DispatchWindowMessage(const ThreadMsg& msg) {
    if (msg.hwnd == nullptr || msg.message != kReadinessMessage) return;
    static_cast<ReadinessSink*>(msg.hwnd)->OnReadiness(static_cast<std::uint32_t>(msg.lParam));
}

}  // namespace plat
