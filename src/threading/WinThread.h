// Message-loop thread and application base classes: a thread object that owns
// a thread with its own message queue, dispatches thread messages through a
// message map, can be created by class, and (by default) deletes itself when
// its thread ends.
//
// Platform-independent: built only on platform/Handles.h and
// platform/MessageQueue.h. Never include this header from a source file that
// includes <windows.h> (its macros would rename PostThreadMessage).
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>

#include "platform/MessageQueue.h"
#include "platform/Types.h"

class CWinThread;

// ---------------------------------------------------------------------------
// Message maps: {message id -> member function (WPARAM, LPARAM)} tables,
// chained to the base class's table.

struct MessageMapEntry {
    UINT message;
    void (*invoke)(CWinThread* self, WPARAM wParam, LPARAM lParam);
};

struct MessageMap {
    const MessageMap* (*baseMap)();  // null for the root of the chain
    const MessageMapEntry* entries;
    std::size_t count;
};

namespace winthread_detail {
template <typename F>
struct MemberClass;
template <typename R, typename C>
struct MemberClass<R (C::*)(WPARAM, LPARAM)> {
    using type = C;
};
}  // namespace winthread_detail

// One entry: `OnMessage<&CMyThread::OnStart>(WM_USER + 1)`. The handler is a
// member function of the declaring class taking (WPARAM, LPARAM); its result,
// if any, is ignored.
template <auto Handler>
constexpr MessageMapEntry OnMessage(UINT message) {
    using Class = typename winthread_detail::MemberClass<decltype(Handler)>::type;
    static_assert(std::is_base_of_v<CWinThread, Class>, "message handlers belong to thread classes");
    return MessageMapEntry{message, [](CWinThread* self, WPARAM wParam, LPARAM lParam) {
                               (static_cast<Class*>(self)->*Handler)(wParam, lParam);
                           }};
}

// The map of a class whose base is `Base`, from a static array of entries.
template <typename Base, std::size_t N>
constexpr MessageMap MessageMapOf(const MessageMapEntry (&entries)[N]) {
    return MessageMap{&Base::GetThisMessageMap, entries, N};
}

// Declares a class's message map in its body. Define the table in one place:
//   const MessageMap* CMyThread::GetThisMessageMap() {
//       static const MessageMapEntry entries[] = {OnMessage<&CMyThread::OnStart>(1025)};
//       static const MessageMap map = MessageMapOf<CWinThreadEx>(entries);
//       return &map;
//   }
#define DECLARE_MESSAGE_MAP()                        \
  public:                                            \
    static const MessageMap* GetThisMessageMap();    \
    const MessageMap* GetMessageMap() const override { return GetThisMessageMap(); }

// ---------------------------------------------------------------------------
// Dynamic creation: a class record with a create function.

struct CRuntimeClass {
    const char* m_lpszClassName;
    int m_nObjectSize;
    CWinThread* (*m_pfnCreateObject)();

    // A new default-constructed object of the class; null when it cannot be created.
    CWinThread* CreateObject() const { return m_pfnCreateObject ? m_pfnCreateObject() : nullptr; }
};

// Declares a class creatable by class in its body (the class needs a default
// constructor; it may be private). RUNTIME_CLASS(CMyThread) is its record.
#define DECLARE_DYNCREATE(class_name)                                               \
  public:                                                                           \
    static CWinThread* CreateObject() { return new class_name; }                    \
    static CRuntimeClass* GetThisClass() {                                          \
        static CRuntimeClass record{#class_name, static_cast<int>(sizeof(class_name)), \
                                    &class_name::CreateObject};                      \
        return &record;                                                             \
    }

#define RUNTIME_CLASS(class_name) (class_name::GetThisClass())

// ---------------------------------------------------------------------------

class CWinThread : private plat::NotificationGate {
  public:
    CWinThread();
    virtual ~CWinThread();
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    HANDLE m_hThread = nullptr;
    DWORD m_nThreadID = 0;
    BOOL m_bAutoDelete = TRUE;   // delete the object on its thread when the thread ends
    void* m_pMainWnd = nullptr;  // the main-window reference the framework clears

    // Starts the thread (suspended with CREATE_SUSPENDED; the stack size is a
    // hint the platform may ignore). The new thread creates its message queue
    // before InitInstance runs; when the thread is not suspended, this returns
    // once the queue exists, so a post right after it reaches the thread.
    BOOL CreateThread(DWORD flags = 0, UINT stackSize = 0);
    // Previous suspend count, 0xFFFFFFFF on failure. The resume that starts
    // the thread returns once the thread's queue exists.
    DWORD ResumeThread();
    BOOL SetThreadPriority(int priority);
    int GetThreadPriority();
    BOOL PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam);

    // Overridables, run on the object's own thread.
    virtual BOOL InitInstance();
    // The message loop: OnIdle when the queue is empty, ExitInstance at
    // WM_QUIT. The log lines the thread gathered in a log line batch
    // (common/LogSink.h) go out at the end of every pass over its messages
    // and before it waits for the next one.
    virtual int Run();
    virtual BOOL PreTranslateMessage(plat::ThreadMsg* msg);
    // Waits for the next message (at most MessageWaitTimeout()) and dispatches
    // it. A socket notification that the wait delivers itself (POSIX) passes
    // BeforeNotification, not PreTranslateMessage.
    virtual BOOL PumpMessage();
    virtual BOOL OnIdle(long count);
    // A batch of messages that the thread took together is handled (see
    // plat::MessagePassEnded), or the thread is about to wait
    // (`beforeWait`): the base writes the log lines the thread gathered. A
    // thread that acts on what a batch of notifications left behind does it
    // here, then calls the base.
    virtual void OnPassEnded(bool beforeWait);
    // How long PumpMessage may wait for a message, in milliseconds: a thread
    // with timers returns the time to the next one (a wait that runs out
    // dispatches nothing). The base waits without limit.
    virtual DWORD MessageWaitTimeout() { return plat::kWaitForever; }
    virtual int ExitInstance();

    static const MessageMap* GetThisMessageMap();
    virtual const MessageMap* GetMessageMap() const { return GetThisMessageMap(); }

  protected:
    // Runs right before the wait hands a socket notification to its socket:
    // what PreTranslateMessage does for every message besides dispatching.
    // The base does nothing.
    void BeforeNotification() override {}

    // The message being handled by PumpMessage.
    plat::ThreadMsg m_msgCur;

    // Looks up `message` in this object's map chain and calls its handler;
    // false when no entry declares it.
    bool DispatchThreadMessage(UINT message, WPARAM wParam, LPARAM lParam);

  private:
    static unsigned ThreadEntry(void* self);

    HANDLE m_hQueueReady = nullptr;  // signalled once the new thread has its queue
};

// Creates an object of `runtimeClass` and starts its thread at `priority`
// (suspended when `flags` holds CREATE_SUSPENDED). Null when the class cannot
// be created or the thread cannot start (the object is then deleted).
CWinThread* AfxBeginThread(CRuntimeClass* runtimeClass, int priority = 0 /* THREAD_PRIORITY_NORMAL */,
                           UINT stackSize = 0, DWORD flags = 0);

// ---------------------------------------------------------------------------

// The application object: a thread object the process knows as its current
// application. Its thread id is the application's main thread.
class CWinApp : public CWinThread {
  public:
    // Makes the new object the process's current application.
    explicit CWinApp(const wchar_t* appName = nullptr);
    ~CWinApp() override;

    std::wstring m_strAppName;

    BOOL InitInstance() override;   // TRUE
    int ExitInstance() override;    // 0
};

// The process's current application, null when there is none.
CWinApp* AfxGetApp();
// The current application's name (empty when none).
std::wstring AfxGetAppName();
// Makes `app` the current application (null clears the reference and the name).
void AfxSetCurrentApp(CWinApp* app);
