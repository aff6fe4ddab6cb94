// Message-loop thread and application base classes.
//
// Platform-independent: built only on platform/Handles.h and
// platform/MessageQueue.h; the platform's queues, threads and events do the rest.
// The loop also writes the log lines a thread gathered (common/LogSink.h).
#include "threading/WinThread.h"

#include <atomic>
#include <mutex>

#include "common/LogSink.h"
#include "platform/Handles.h"
#include "platform/Win32Codes.h"

CWinThread::CWinThread() = default;

CWinThread::~CWinThread() {
    if (m_hThread) plat::CloseHandleObject(m_hThread);
    if (m_hQueueReady) plat::CloseHandleObject(m_hQueueReady);
}

const MessageMap* CWinThread::GetThisMessageMap() {
    static const MessageMap root{nullptr, nullptr, 0};
    return &root;
}

BOOL CWinThread::CreateThread(DWORD flags, UINT stackSize) {
    (void)stackSize;  // the platform's default stack serves every thread of the program
    if (m_hThread) return FALSE;
    if (!m_hQueueReady) m_hQueueReady = plat::CreateEventObject(true, false);
    if (!m_hQueueReady) return FALSE;
    // Always start suspended: the thread must not run before its handle and
    // id are stored, since InitInstance and posts read them.
    DWORD id = 0;
    HANDLE thread = plat::StartThread(&CWinThread::ThreadEntry, this, true, &id);
    if (!thread) return FALSE;
    m_hThread = thread;
    m_nThreadID = id;
    if ((flags & CREATE_SUSPENDED) == 0) ResumeThread();
    return TRUE;
}

DWORD CWinThread::ResumeThread() {
    if (!m_hThread) {
        plat::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return 0xFFFFFFFF;
    }
    // The object may delete itself as soon as its thread runs: wait on a
    // handle of our own and touch no member after the resume.
    HANDLE queueReady = m_hQueueReady ? plat::DuplicateHandleObject(m_hQueueReady) : nullptr;
    const DWORD previous = plat::ResumeThreadHandle(m_hThread);
    if (previous == 1 && queueReady) plat::WaitForObject(queueReady, INFINITE);
    if (queueReady) plat::CloseHandleObject(queueReady);
    return previous;
}

BOOL CWinThread::SetThreadPriority(int priority) {
    return m_hThread ? plat::SetThreadPriorityLevel(m_hThread, priority) : FALSE;
}

int CWinThread::GetThreadPriority() {
    return m_hThread ? plat::GetThreadPriorityLevel(m_hThread) : THREAD_PRIORITY_NORMAL;
}

BOOL CWinThread::PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return plat::PostToThread(m_nThreadID, message, wParam, lParam);
}

unsigned CWinThread::ThreadEntry(void* raw) {
    auto* self = static_cast<CWinThread*>(raw);
    plat::EnsureThreadMessageQueue();
    plat::SignalEvent(self->m_hQueueReady);
    int code;
    if (self->InitInstance()) {
        code = self->Run();
    } else {
        code = self->ExitInstance();
    }
    if (self->m_bAutoDelete) delete self;
    return static_cast<unsigned>(code);
}

BOOL CWinThread::InitInstance() { return TRUE; }

int CWinThread::Run() {
    bool idle = true;
    long idleCount = 0;
    for (;;) {
        plat::ThreadMsg peek;
        while (idle && !plat::PeekNextMessage(&peek, false)) {
            if (!OnIdle(idleCount++)) idle = false;
        }
        // Nothing the thread gathered waits while it waits.
        OnPassEnded(true);
        do {
            if (!PumpMessage()) return ExitInstance();
            idle = true;
            idleCount = 0;
            // A busy thread never runs out of messages: the lines of each
            // pass over its notifications go out at the end of that pass.
            if (plat::MessagePassEnded()) OnPassEnded(false);
        } while (plat::PeekNextMessage(&peek, false));
    }
}

BOOL CWinThread::PumpMessage() {
    switch (plat::TakeNextMessage(&m_msgCur, MessageWaitTimeout(), this)) {
        case plat::Taken::Quit: return FALSE;
        // The wait handed a socket notification to its socket (after
        // BeforeNotification): it is no message of ours to filter.
        case plat::Taken::Notified: return TRUE;
        case plat::Taken::Message: break;
    }
    if (!PreTranslateMessage(&m_msgCur) && m_msgCur.hwnd != nullptr) plat::DispatchWindowMessage(m_msgCur);
    return TRUE;
}

BOOL CWinThread::PreTranslateMessage(plat::ThreadMsg* msg) {
    if (msg->hwnd != nullptr) return FALSE;
    return DispatchThreadMessage(msg->message, msg->wParam, msg->lParam) ? TRUE : FALSE;
}

bool CWinThread::DispatchThreadMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    for (const MessageMap* map = GetMessageMap(); map != nullptr; map = map->baseMap ? map->baseMap() : nullptr) {
        for (std::size_t i = 0; i < map->count; ++i) {
            if (map->entries[i].message == message) {
                map->entries[i].invoke(this, wParam, lParam);
                return true;
            }
        }
    }
    return false;
}

void CWinThread::OnPassEnded(bool beforeWait) { WriteGatheredLogLines(!beforeWait); }

BOOL CWinThread::OnIdle(long count) {
    (void)count;
    return FALSE;
}

int CWinThread::ExitInstance() { return static_cast<int>(m_msgCur.wParam); }

CWinThread* AfxBeginThread(CRuntimeClass* runtimeClass, int priority, UINT stackSize, DWORD flags) {
    if (!runtimeClass) return nullptr;
    CWinThread* thread = runtimeClass->CreateObject();
    if (!thread) return nullptr;
    if (!thread->CreateThread(flags | CREATE_SUSPENDED, stackSize)) {
        delete thread;
        return nullptr;
    }
    thread->SetThreadPriority(priority);
    if ((flags & CREATE_SUSPENDED) == 0) thread->ResumeThread();
    return thread;
}

// ---------------------------------------------------------------------------

namespace {
std::atomic<CWinApp*> g_currentApp{nullptr};
std::mutex g_appNameMutex;
std::wstring& CurrentAppName() {
    static auto* name = new std::wstring();
    return *name;
}
}  // namespace

CWinApp::CWinApp(const wchar_t* appName) : m_strAppName(appName ? appName : L"") { AfxSetCurrentApp(this); }

CWinApp::~CWinApp() {
    CWinApp* self = this;
    if (g_currentApp.compare_exchange_strong(self, nullptr)) {
        std::lock_guard lock(g_appNameMutex);
        CurrentAppName().clear();
    }
}

BOOL CWinApp::InitInstance() { return TRUE; }
int CWinApp::ExitInstance() { return 0; }

CWinApp* AfxGetApp() { return g_currentApp.load(); }

std::wstring AfxGetAppName() {
    std::lock_guard lock(g_appNameMutex);
    return CurrentAppName();
}

void AfxSetCurrentApp(CWinApp* app) {
    std::lock_guard lock(g_appNameMutex);
    g_currentApp.store(app);
    CurrentAppName() = app ? app->m_strAppName : std::wstring();
}
