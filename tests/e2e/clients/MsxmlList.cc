// An MSXML client for the end-to-end tests: loads a folder listing as Windows programs do with DOMDocument.
//
// Usage: MsxmlList URL-OR-FILE. Loads the document (synchronously) and prints,
// in UTF-8, "File: NAME" for the Name of each File element in document order
// (exit status 0), or "parseError 0xCODE REASON" when the load failed (1).
#include <windows.h>
#include <msxml2.h>

#include <cstdio>
#include <string>

namespace {

template <typename T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
};

void PrintUtf8(const std::wstring& text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(size > 0 ? size : 0, '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                              nullptr);
    }
    std::printf("%s\n", bytes.c_str());
}

std::wstring Take(BSTR text) {
    std::wstring out = text ? std::wstring(text, ::SysStringLen(text)) : std::wstring();
    ::SysFreeString(text);
    return out;
}

int Fail(const char* step, HRESULT hr) {
    std::printf("%s failed 0x%08lX\n", step, static_cast<unsigned long>(hr));
    return 2;
}

int List(const wchar_t* source) {
    CLSID clsid;
    HRESULT hr = ::CLSIDFromProgID(L"Msxml2.DOMDocument.3.0", &clsid);
    if (FAILED(hr)) return Fail("CLSIDFromProgID", hr);
    Ref<IXMLDOMDocument> document;
    hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                            reinterpret_cast<void**>(&document.p));
    if (FAILED(hr)) return Fail("CoCreateInstance", hr);
    document.p->put_async(VARIANT_FALSE);
    VARIANT where;
    ::VariantInit(&where);
    where.vt = VT_BSTR;
    where.bstrVal = ::SysAllocString(source);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    hr = document.p->load(where, &loaded);
    ::VariantClear(&where);
    if (loaded != VARIANT_TRUE) {
        Ref<IXMLDOMParseError> error;
        long code = static_cast<long>(hr);
        BSTR reason = nullptr;
        if (SUCCEEDED(document.p->get_parseError(&error.p))) {
            error.p->get_errorCode(&code);
            error.p->get_reason(&reason);
        }
        std::printf("parseError 0x%08lX ", static_cast<unsigned long>(code));
        PrintUtf8(Take(reason));
        return 1;
    }
    Ref<IXMLDOMNodeList> files;
    BSTR query = ::SysAllocString(L"//File");
    hr = document.p->selectNodes(query, &files.p);
    ::SysFreeString(query);
    if (FAILED(hr) || !files.p) return Fail("selectNodes", hr);
    for (;;) {
        Ref<IXMLDOMNode> node;
        if (files.p->nextNode(&node.p) != S_OK || !node.p) break;
        Ref<IXMLDOMElement> element;
        if (FAILED(node.p->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(&element.p)))) continue;
        VARIANT name;
        ::VariantInit(&name);
        BSTR attribute = ::SysAllocString(L"Name");
        element.p->getAttribute(attribute, &name);
        ::SysFreeString(attribute);
        PrintUtf8(L"File: " + (name.vt == VT_BSTR ? std::wstring(name.bstrVal, ::SysStringLen(name.bstrVal))
                                                  : std::wstring()));
        ::VariantClear(&name);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::printf("usage: MsxmlList URL-OR-FILE\n");
        return 2;
    }
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return Fail("CoInitializeEx", E_FAIL);
    const int result = List(argv[1]);
    ::CoUninitialize();
    return result;
}
