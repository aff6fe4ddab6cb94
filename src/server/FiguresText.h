// The server's figures as a page of the Prometheus text format (version 0.0.4).
#pragma once

#include <cstdint>
#include <string>

#include "server/ServerFigures.h"

// A budget's amount in use and its size (no limit: the largest value).
struct BudgetFigure {
    std::uint64_t used = 0;
    std::uint64_t size = 0;
};

// What is not counted but read when the page is made.
struct FiguresState {
    std::uint64_t nPackageFilesOpen = 0;
    BudgetFigure headBytes;
    BudgetFigure listingBytes;
    BudgetFigure packageDescriptors;
    std::uint64_t nUptimeSeconds = 0;
};

// The page: "# HELP" and "# TYPE" lines and one sample per line for every
// figure, counters named "..._total", all names starting with "velmora_".
std::string FiguresText(const CServerFigures& figures, const FiguresState& state);

// The Content-Type of that page.
constexpr const char* kFiguresContentType = "text/plain; version=0.0.4";
