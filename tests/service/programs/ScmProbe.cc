// A small Windows client for the service host tests, playing the parts that
// Wine's sc.exe and event viewer do not: it sends any control code to an
// installed service, renders event messages and strings from an executable's
// resources the way an event viewer does, and keeps Wine's server alive.
//
// Usage (output on standard output, CR and LF written as \r and \n):
//   ScmProbe control NAME CODE         ControlService; prints the result and the status
//   ScmProbe messages FILE LANG ID...  FormatMessageW of each id from FILE's message
//                                      table, insertion N being "<N>"; "ID text" lines
//   ScmProbe strings FILE ID...        LoadStringW of each id from FILE's string table
//   ScmProbe hold FILE SECONDS         prints "holding", then waits while FILE exists,
//                                      at most SECONDS
//   ScmProbe dacl PATH                 a file's DACL read back: "protected=0|1", then
//                                      "TYPE FLAGS MASK SID" per ACE (numbers in hex)
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

void PrintLine(const std::wstring& text) {
    std::wstring escaped;
    for (wchar_t c : text) {
        if (c == L'\r') escaped += L"\\r";
        else if (c == L'\n') escaped += L"\\n";
        else escaped += c;
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, escaped.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) ::WideCharToMultiByte(CP_UTF8, 0, escaped.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    std::printf("%s\n", bytes.c_str());
    std::fflush(stdout);
}

int Control(const wchar_t* name, DWORD code) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
        PrintLine(L"OpenSCManager failed " + std::to_wstring(::GetLastError()));
        return 2;
    }
    DWORD access = SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL;
    if (code == SERVICE_CONTROL_STOP) access |= SERVICE_STOP;
    if (code == SERVICE_CONTROL_PAUSE || code == SERVICE_CONTROL_CONTINUE) access |= SERVICE_PAUSE_CONTINUE;
    SC_HANDLE service = ::OpenServiceW(manager, name, access);
    if (!service) {
        PrintLine(L"OpenService failed " + std::to_wstring(::GetLastError()));
        ::CloseServiceHandle(manager);
        return 2;
    }
    SERVICE_STATUS status = {};
    const BOOL ok = ::ControlService(service, code, &status);
    const DWORD error = ok ? 0 : ::GetLastError();
    PrintLine(L"result=" + std::to_wstring(ok) + L" error=" + std::to_wstring(error) +
              L" state=" + std::to_wstring(status.dwCurrentState) +
              L" checkpoint=" + std::to_wstring(status.dwCheckPoint) +
              L" waithint=" + std::to_wstring(status.dwWaitHint) +
              L" controls=" + std::to_wstring(status.dwControlsAccepted));
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    return 0;
}

int Messages(const wchar_t* file, DWORD language, wchar_t** ids, int count) {
    HMODULE module = ::LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        PrintLine(L"LoadLibraryEx failed " + std::to_wstring(::GetLastError()));
        return 2;
    }
    std::vector<std::wstring> insertions;
    for (int n = 1; n <= 9; ++n) insertions.push_back(L"<" + std::to_wstring(n) + L">");
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring& s : insertions) arguments.push_back(reinterpret_cast<DWORD_PTR>(s.c_str()));
    for (int i = 0; i < count; ++i) {
        const DWORD id = std::wcstoul(ids[i], nullptr, 0);
        wchar_t* buffer = nullptr;
        const DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id,
            language, reinterpret_cast<LPWSTR>(&buffer), 0, reinterpret_cast<va_list*>(arguments.data()));
        if (length == 0) {
            PrintLine(std::wstring(ids[i]) + L" FormatMessage failed " + std::to_wstring(::GetLastError()));
            continue;
        }
        PrintLine(std::wstring(ids[i]) + L" " + std::wstring(buffer, length));
        ::LocalFree(buffer);
    }
    ::FreeLibrary(module);
    return 0;
}

int Strings(const wchar_t* file, wchar_t** ids, int count) {
    HMODULE module = ::LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        PrintLine(L"LoadLibraryEx failed " + std::to_wstring(::GetLastError()));
        return 2;
    }
    for (int i = 0; i < count; ++i) {
        const wchar_t* text = nullptr;
        const int length = ::LoadStringW(module, std::wcstoul(ids[i], nullptr, 10), reinterpret_cast<LPWSTR>(&text), 0);
        if (length <= 0) PrintLine(std::wstring(ids[i]) + L" LoadString failed");
        else PrintLine(std::wstring(ids[i]) + L" " + std::wstring(text, static_cast<std::size_t>(length)));
    }
    ::FreeLibrary(module);
    return 0;
}

int Hold(const wchar_t* file, DWORD seconds) {
    PrintLine(L"holding");
    const ULONGLONG end = ::GetTickCount64() + 1000ull * seconds;
    while (::GetFileAttributesW(file) != INVALID_FILE_ATTRIBUTES && ::GetTickCount64() < end) ::Sleep(100);
    return 0;
}

std::wstring Hex(DWORD value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%lx", value);
    return text;
}

int Dacl(const wchar_t* path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = ::GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                                &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        PrintLine(L"GetNamedSecurityInfo failed " + std::to_wstring(error));
        return 2;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    PrintLine(std::wstring(L"protected=") + ((control & SE_DACL_PROTECTED) ? L"1" : L"0"));
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) break;
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        wchar_t* sid = nullptr;
        ::ConvertSidToStringSidW(const_cast<DWORD*>(&ace->SidStart), &sid);
        PrintLine(Hex(ace->Header.AceType) + L" " + Hex(ace->Header.AceFlags) + L" " + Hex(ace->Mask) + L" " +
                  (sid ? sid : L"?"));
        ::LocalFree(sid);
    }
    ::LocalFree(descriptor);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"control" && argc == 4) return Control(argv[2], std::wcstoul(argv[3], nullptr, 10));
    if (verb == L"messages" && argc >= 4)
        return Messages(argv[2], std::wcstoul(argv[3], nullptr, 10), argv + 4, argc - 4);
    if (verb == L"strings" && argc >= 3) return Strings(argv[2], argv + 3, argc - 3);
    if (verb == L"hold" && argc == 4) return Hold(argv[2], std::wcstoul(argv[3], nullptr, 10));
    if (verb == L"dacl" && argc == 3) return Dacl(argv[2]);
    PrintLine(L"usage: ScmProbe control|messages|strings|hold|dacl ...");
    return 1;
}
