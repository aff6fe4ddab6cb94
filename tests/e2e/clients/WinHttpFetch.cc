// A WinHTTP client for the end-to-end tests: what Windows programs that use WinHTTP send and read.
//
// Usage (one line on standard output; exit status 0 when the reply came):
//   WinHttpFetch get URL FILE   GET, the body written to FILE: "status=S bytes=N"
//   WinHttpFetch head URL       HEAD: "status=S content-length=N"
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Handle {
    HINTERNET h = nullptr;
    ~Handle() {
        if (h) ::WinHttpCloseHandle(h);
    }
};

int Fail(const char* step) {
    std::printf("%s failed %lu\n", step, ::GetLastError());
    return 2;
}

DWORD NumberHeader(HINTERNET request, DWORD query) {
    DWORD value = 0, size = sizeof value;
    if (!::WinHttpQueryHeaders(request, query | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX, &value,
                               &size, WINHTTP_NO_HEADER_INDEX)) {
        return static_cast<DWORD>(-1);
    }
    return value;
}

int Fetch(bool head, const wchar_t* url, const wchar_t* file) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    wchar_t host[256] = {}, path[2048] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!::WinHttpCrackUrl(url, 0, 0, &parts)) return Fail("WinHttpCrackUrl");

    Handle session, connection, request;
    session.h = ::WinHttpOpen(L"WinHttpFetch", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session.h) return Fail("WinHttpOpen");
    connection.h = ::WinHttpConnect(session.h, host, parts.nPort, 0);
    if (!connection.h) return Fail("WinHttpConnect");
    request.h = ::WinHttpOpenRequest(connection.h, head ? L"HEAD" : L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    if (!request.h) return Fail("WinHttpOpenRequest");
    if (!::WinHttpSendRequest(request.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return Fail("WinHttpSendRequest");
    }
    if (!::WinHttpReceiveResponse(request.h, nullptr)) return Fail("WinHttpReceiveResponse");
    const DWORD status = NumberHeader(request.h, WINHTTP_QUERY_STATUS_CODE);
    if (head) {
        std::printf("status=%lu content-length=%ld\n", status,
                    static_cast<long>(NumberHeader(request.h, WINHTTP_QUERY_CONTENT_LENGTH)));
        return 0;
    }
    FILE* out = _wfopen(file, L"wb");
    if (!out) return Fail("_wfopen");
    unsigned long long total = 0;
    for (;;) {
        char buffer[65536];
        DWORD got = 0;
        if (!::WinHttpReadData(request.h, buffer, sizeof buffer, &got)) {
            std::fclose(out);
            return Fail("WinHttpReadData");
        }
        if (got == 0) break;
        std::fwrite(buffer, 1, got, out);
        total += got;
    }
    std::fclose(out);
    std::printf("status=%lu bytes=%llu\n", status, total);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && std::wcscmp(argv[1], L"get") == 0) return Fetch(false, argv[2], argv[3]);
    if (argc == 3 && std::wcscmp(argv[1], L"head") == 0) return Fetch(true, argv[2], nullptr);
    std::printf("usage: WinHttpFetch get URL FILE | head URL\n");
    return 2;
}
