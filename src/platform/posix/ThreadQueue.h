// POSIX-only: how sockets join a thread's message loop.
//
// A descriptor watched here is polled (level-triggered epoll) by the owning
// thread's wait (TakeNextMessage), which calls the sink with each readiness
// on that thread, taking turns with the posted messages.
#pragma once

#include <cstdint>

namespace plat::posix {

struct ReadinessSink {
    virtual void OnReadiness(std::uint32_t epollEvents) = 0;

  protected:
    ~ReadinessSink() = default;
};

// All three act on the calling thread's queue (created if needed). `events`
// is an epoll mask; 0 keeps the descriptor registered but silent.
bool WatchDescriptor(int fd, std::uint32_t events, ReadinessSink* sink);
bool ChangeDescriptor(int fd, std::uint32_t events, ReadinessSink* sink);
// Stops watching and drops readiness already harvested for the sink.
void UnwatchDescriptor(int fd, ReadinessSink* sink);
// The same for a descriptor that is closed right after: closing takes it
// out of epoll, so this makes no system call.
void ForgetDescriptor(int fd, ReadinessSink* sink);
// Queues readiness that is known without asking epoll (a connection just
// accepted can take data), delivered as if the wait had found it.
void ReportReadiness(int fd, std::uint32_t events, ReadinessSink* sink);

// Closes the calling thread's queue (later posts fail with 1444). Runs when
// a thread started by StartThread ends, before its handle is signalled, so
// that nobody can post to a thread whose end has already been observed.
void CloseOwnQueue();

// Queue capacity, as Windows' default posted-message quota.
constexpr unsigned kThreadQueueCapacity = 10000;

}  // namespace plat::posix
