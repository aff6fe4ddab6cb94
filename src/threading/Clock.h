// The program's clock: the 64-bit millisecond tick count, with a seam that
// lets tests set the time instead of waiting for it.
#pragma once

#include <cstdint>
#include <optional>

// Monotonic milliseconds (the platform tick count unless a test has set it).
std::uint64_t TickCount64();

// Tests only: freezes the tick count at `value` (advance it by calling again),
// or returns to the real clock with std::nullopt.
void SetTickCountForTests(std::optional<std::uint64_t> value);
