// Byte ranges: reading a Range field's value, and the part of a file of a given size that it selects.
//
// One range of bytes ("a-b", "a-" or "-n") is honoured; a value that asks
// for several ranges, uses another unit or does not read is as if the field
// were absent, and the file goes out whole.
#pragma once

#include <cstdint>
#include <string_view>

// The one byte range a request asks for.
struct RequestedByteRange {
    enum class Form {
        None,    // no range that is honoured: the whole file
        FromTo,  // "first-last"
        From,    // "first-": from `first` to the end
        Suffix,  // "-count": the last `count` bytes
    };
    Form form = Form::None;
    std::uint64_t first = 0;
    std::uint64_t last = 0;   // FromTo only
    std::uint64_t count = 0;  // Suffix only
};

// What the Range and If-Range lines of a request head say.
struct RangeFields {
    // Form::None unless the head holds exactly one Range line whose value
    // ParseByteRangeField reads.
    RequestedByteRange range;
    // An If-Range line is present. The server sends no validators, so it
    // can never confirm one: such a request gets the whole file.
    bool hasIfRange = false;
};

// Reads a Range field's value (blanks around it allowed): "bytes=" in any
// letter case, then one range. Empty list elements are ignored; a second
// range, another unit, a range whose last byte comes before its first,
// or anything that does not read gives Form::None. Numbers too large to
// count are taken as the largest count (always past a file's end).
RequestedByteRange ParseByteRangeField(std::string_view value);

// The part of a file of `size` bytes that `asked` selects.
struct ByteRangePart {
    enum class Verdict {
        Whole,           // no range applies: the whole file, as without a Range field
        Part,            // `length` bytes from `first`
        NotSatisfiable,  // the range holds none of the file's bytes
    };
    Verdict verdict = Verdict::Whole;
    std::uint64_t first = 0;
    std::uint64_t length = 0;
};

// A last byte past the end is cut to the file's last byte, a suffix longer
// than the file takes all of it. A range that starts at or past the end,
// or a suffix of 0 bytes, holds nothing. An empty file has no part a
// suffix could name: it goes out whole (0 bytes, as asked).
ByteRangePart SelectByteRange(const RequestedByteRange& asked, std::uint64_t size);
