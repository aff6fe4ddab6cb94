// CNTService: Win32 error codes rendered into the framework's message texts.
#include "common/Format.h"
#include "common/ResourceIds.h"
#include "common/ResourceText.h"
#include "platform/SystemErrorText.h"
#include "service/NTService.h"

namespace {

using namespace resource_ids;

// Fills %1 ... %9 of a string-table text with the insertions; a marker
// without an insertion and every other character stay as they are, and the
// insertions are never read as markers themselves.
std::wstring FillInsertions(const std::wstring& text, const std::vector<std::wstring>& insertions) {
    std::wstring result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 1 < text.size() && text[i + 1] >= L'1' && text[i + 1] <= L'9') {
            const auto index = static_cast<std::size_t>(text[i + 1] - L'1');
            if (index < insertions.size()) {
                result += insertions[index];
                ++i;
                continue;
            }
        }
        result += text[i];
    }
    return result;
}

}  // namespace

std::wstring CNTService::GetErrorMessage(UINT stringId, DWORD error, BOOL forEventLog) {
    const DWORD format = forEventLog ? m_dwErrorFormatForEventLog : m_dwErrorFormatForCaller;
    // The code as "%d" shows it: codes from 0x80000000 on are negative.
    const std::wstring code = FormatW(L"%d", static_cast<std::int32_t>(error));
    auto entry = [this](UINT id, const std::vector<std::wstring>& insertions) {
        return FillInsertions(resources::LoadResourceString(MapResourceId(id)), insertions);
    };
    switch (format) {
        case 0: return code;
        case 1: return entry(kCodeAndText, {code, GetSystemErrorText(error)});
        case 2: return GetSystemErrorText(error);
        case 3: return forEventLog ? std::wstring() : entry(stringId, {code});
        case 4:
            return forEventLog ? std::wstring()
                               : entry(stringId, {entry(kCodeAndText, {code, GetSystemErrorText(error)})});
        case 5: return forEventLog ? std::wstring() : entry(stringId, {GetSystemErrorText(error)});
        default: return std::wstring();
    }
}

std::wstring CNTService::GetSystemErrorText(DWORD error) { return plat::SystemErrorText(error); }
