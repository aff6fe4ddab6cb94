// The request path tests' view of a mapping: the full path, or "<refused>".
#pragma once

#include <string>
#include <string_view>

#include "server/RequestPath.h"

inline std::wstring MappedRequestPath(std::wstring_view folder, std::wstring_view request) {
    std::wstring full;
    if (MapRequestPath(folder, request, full) == RequestPathVerdict::Refused) return L"<refused>";
    return full;
}
