// The one start-up sequence of the application object, for console mode and for the service body alike.
#pragma once

#include <functional>

#include "app/ApplicationOptions.h"
#include "platform/Types.h"

class CVelmoraService;

enum class ApplicationRunResult {
    Ended,             // the application thread ran and has ended
    OptionsRefused,    // an option cannot start a server (reported by the application)
    ThreadNotCreated,  // the application thread could not be created (`error` says why)
};

// Creates the application object (owned by `service`, or by nobody in
// console mode), gives it `options`, runs it on a thread of its own and
// waits until that thread has ended. `beforeStart` runs once the thread
// exists, just before it starts (console mode prints its lines there).
ApplicationRunResult RunApplication(CVelmoraService* service, const ApplicationOptions& options,
                                    const std::function<void()>& beforeStart, DWORD* error);
