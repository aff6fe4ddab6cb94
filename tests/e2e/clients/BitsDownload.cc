// A client of the background transfer service (BITS) for the end-to-end tests: one download job, as setup tools run it.
//
// Usage: BitsDownload URL FILE (FILE a full path). Creates a download job,
// adds the file, resumes the job and waits (at most 120 s) until it is
// transferred or fails. One line on standard output: "transferred bytes=N"
// (exit status 0), "error 0x%08X" with the job's error code (1), or what
// failed on the way (2).
#include <windows.h>
#include <bits.h>

#include <cstdio>

namespace {

template <typename T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
};

int Fail(const char* step, HRESULT hr) {
    std::printf("%s failed 0x%08lX\n", step, static_cast<unsigned long>(hr));
    return 2;
}

int Download(const wchar_t* url, const wchar_t* file) {
    Ref<IBackgroundCopyManager> manager;
    HRESULT hr = ::CoCreateInstance(__uuidof(BackgroundCopyManager), nullptr, CLSCTX_LOCAL_SERVER,
                                    __uuidof(IBackgroundCopyManager), reinterpret_cast<void**>(&manager.p));
    if (FAILED(hr)) return Fail("CoCreateInstance", hr);
    GUID id;
    Ref<IBackgroundCopyJob> job;
    hr = manager.p->CreateJob(L"BitsDownload", BG_JOB_TYPE_DOWNLOAD, &id, &job.p);
    if (FAILED(hr)) return Fail("CreateJob", hr);
    hr = job.p->AddFile(url, file);
    if (FAILED(hr)) {
        job.p->Cancel();
        return Fail("AddFile", hr);
    }
    hr = job.p->Resume();
    if (FAILED(hr)) {
        job.p->Cancel();
        return Fail("Resume", hr);
    }
    for (int waited = 0; waited < 1200; ++waited) {
        BG_JOB_STATE state;
        hr = job.p->GetState(&state);
        if (FAILED(hr)) break;
        if (state == BG_JOB_STATE_TRANSFERRED) {
            BG_JOB_PROGRESS progress = {};
            job.p->GetProgress(&progress);
            hr = job.p->Complete();
            if (FAILED(hr)) return Fail("Complete", hr);
            std::printf("transferred bytes=%llu\n", static_cast<unsigned long long>(progress.BytesTransferred));
            return 0;
        }
        if (state == BG_JOB_STATE_ERROR || state == BG_JOB_STATE_TRANSIENT_ERROR) {
            Ref<IBackgroundCopyError> error;
            BG_ERROR_CONTEXT context = BG_ERROR_CONTEXT_NONE;
            HRESULT code = E_FAIL;
            if (SUCCEEDED(job.p->GetError(&error.p))) error.p->GetError(&context, &code);
            job.p->Cancel();
            std::printf("error 0x%08lX\n", static_cast<unsigned long>(code));
            return 1;
        }
        ::Sleep(100);
    }
    job.p->Cancel();
    if (FAILED(hr)) return Fail("GetState", hr);
    std::printf("no end within 120 s\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::printf("usage: BitsDownload URL FILE\n");
        return 2;
    }
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return Fail("CoInitializeEx", E_FAIL);
    const int result = Download(argv[1], argv[2]);
    ::CoUninitialize();
    return result;
}
