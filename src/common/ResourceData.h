// The generated tables behind ResourceText.h (see cmake/ResourceTables.cmake).
#pragma once

#include <cstddef>
#include <cstdint>

namespace resources::data {

struct StringEntry {
    unsigned int id;
    const wchar_t* text;
};

struct MessageEntry {
    std::uint32_t id;
    const wchar_t* text;
};

// In the order of the data files, without duplicate ids (the generator refuses them).
extern const StringEntry kStrings[];
extern const std::size_t kStringCount;
extern const MessageEntry kMessages[];
extern const std::size_t kMessageCount;
extern const std::uint16_t kMessageLanguages[];
extern const std::size_t kMessageLanguageCount;

}  // namespace resources::data
