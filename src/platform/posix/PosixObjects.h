// POSIX side of the handle contract: the reference-counted objects behind HANDLE.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/Types.h"

namespace plat::posix {

// Anything a HANDLE can name and a wait can wait for.
struct WaitableObject {
    std::mutex mutex;
    std::condition_variable signalledCv;
    // Written under `mutex`; read without it by a zero-time-out look at a
    // manual-reset object (the message loops look before every message).
    std::atomic<bool> signalled{false};
    bool manualReset = true;
    virtual ~WaitableObject() = default;
};

// What a HANDLE points to: one handle on a shared object.
struct HandleBox {
    std::shared_ptr<WaitableObject> object;
};

HANDLE NewHandle(std::shared_ptr<WaitableObject> object);
std::shared_ptr<WaitableObject> ObjectOf(HANDLE handle);

// Maps an errno value onto the Win32 code with the same meaning.
DWORD Win32FromErrno(int error);

}  // namespace plat::posix
