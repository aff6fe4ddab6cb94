// The generated tables behind ResourceText.h (see cmake/ResourceTables.cmake).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Types.h"

namespace plat::resource_data {

struct StringEntry {
    UINT id;
    const wchar_t* text;
};

struct MessageEntry {
    DWORD id;
    const wchar_t* text;
};

// In the order of the data files, without duplicate ids (the generator refuses them).
extern const StringEntry kStrings[];
extern const std::size_t kStringCount;
extern const MessageEntry kMessages[];
extern const std::size_t kMessageCount;
extern const std::uint16_t kMessageLanguages[];
extern const std::size_t kMessageLanguageCount;

}  // namespace plat::resource_data
