// Windows console: a console of the program's own, written directly.
#include <windows.h>

#include <atomic>
#include <string>

#include "platform/Console.h"
#include "platform/Text.h"

namespace plat {
namespace {

std::atomic<ConsoleControlHandler> g_handler{nullptr};

BOOL WINAPI Trampoline(DWORD controlEvent) {
    ConsoleControlHandler handler = g_handler.load();
    return handler ? handler(controlEvent) : FALSE;
}

void WriteToHandle(HANDLE handle, std::wstring_view text) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD written = 0;
    // A real console takes wide text directly; a redirected handle gets 8-bit text.
    if (::WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) return;
    const std::string bytes = WideToAnsi(text);
    ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

BOOL OpenConsole() { return ::AllocConsole(); }
void CloseConsole() { ::FreeConsole(); }

void WriteConsoleLine(std::wstring_view text) {
    std::wstring line(text);
    line += L"\r\n";
    WriteToHandle(::GetStdHandle(STD_OUTPUT_HANDLE), line);
}

std::wstring_view ConsoleLineEnd() { return L"\r\n"; }

void WriteStandardOutput(std::wstring_view text) { WriteToHandle(::GetStdHandle(STD_OUTPUT_HANDLE), text); }
void WriteStandardError(std::wstring_view text) { WriteToHandle(::GetStdHandle(STD_ERROR_HANDLE), text); }

BOOL InstallConsoleControlHandler(ConsoleControlHandler handler) {
    g_handler.store(handler);
    return ::SetConsoleCtrlHandler(&Trampoline, TRUE);
}

}  // namespace plat
