// The one start-up sequence of the application object, for console mode and for the service body alike.
#pragma once

#include <functional>

#include "app/ApplicationOptions.h"
#include "platform/ServiceWatchdog.h"
#include "platform/Types.h"

class CVelmoraService;
class CVelmoraServiceApp;

// How long the end of the program waits for a listener that did not stop
// when asked, beyond the stop's own time.
constexpr DWORD kUnstoppedListenerWaitMs = 5000;

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

// Application thread, as it ends: `app` stays (it is not deleted with its
// thread) because a listener thread that may still log through it runs on.
void KeepApplicationUntilProgramEnd(CVelmoraServiceApp* app);
// The end of the program, while what the application logs through (the
// service object) still exists: an application kept by the call above waits
// up to `waitMs` for its listeners and is deleted; if one still runs, the
// process ends at once with `exitCode` (through `endAtOnce`) instead of
// destroying what that thread uses. Returns `exitCode`.
int EndProgram(int exitCode, DWORD waitMs = kUnstoppedListenerWaitMs,
               void (*endAtOnce)(DWORD exitCode) = &plat::EndProcessAtOnce);
