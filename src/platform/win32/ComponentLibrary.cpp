// COM for the calling thread (single-threaded apartment, as an application's main thread has).
#include <objbase.h>
#include <windows.h>

#include "platform/ComponentLibrary.h"

namespace plat {
BOOL InitComponentLibrary() {
    const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    return SUCCEEDED(hr) ? TRUE : FALSE;
}
}  // namespace plat
