// Rendering the figures in the Prometheus text format: one family after the other, plain decimal values.
#include "server/FiguresText.h"

#include <charconv>
#include <limits>
#include <string_view>

namespace {

// The label value of each reply kind and close cause, in the order of their enums.
constexpr std::string_view kReplyLabels[] = {"200", "head", "206", "404", "416", "503", "listing", "metrics"};
constexpr std::string_view kCloseLabels[] = {"client", "after_reply", "idle_eviction", "head_timeout",
                                             "stall",  "budget",      "error",        "stop"};
static_assert(std::size(kReplyLabels) == static_cast<std::size_t>(ReplyFigure::Count));
static_assert(std::size(kCloseLabels) == static_cast<std::size_t>(CloseCause::Count));

class CPage {
  public:
    void Family(std::string_view name, std::string_view type, std::string_view help) {
        m_text.append("# HELP ").append(name).append(" ").append(help).append("\n");
        m_text.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    }
    // One sample; `label` is `key="value"` or empty.
    void Sample(std::string_view name, std::string_view labelKey, std::string_view labelValue, std::uint64_t value) {
        m_text.append(name);
        if (!labelKey.empty()) m_text.append("{").append(labelKey).append("=\"").append(labelValue).append("\"}");
        m_text.append(" ");
        if (value == std::numeric_limits<std::uint64_t>::max()) {
            m_text.append("+Inf");  // a budget without a limit
        } else {
            char digits[24];
            const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
            m_text.append(digits, written.ptr);
        }
        m_text.append("\n");
    }
    void Single(std::string_view name, std::string_view type, std::string_view help, std::uint64_t value) {
        Family(name, type, help);
        Sample(name, {}, {}, value);
    }
    std::string Take() { return std::move(m_text); }

  private:
    std::string m_text;
};

void Budgets(CPage& page, std::string_view name, std::string_view help, const FiguresState& state,
             std::uint64_t BudgetFigure::*amount) {
    page.Family(name, "gauge", help);
    page.Sample(name, "budget", "head_bytes", state.headBytes.*amount);
    page.Sample(name, "budget", "listing_bytes", state.listingBytes.*amount);
    page.Sample(name, "budget", "package_descriptors", state.packageDescriptors.*amount);
}

}  // namespace

std::string FiguresText(const CServerFigures& figures, const FiguresState& state) {
    CPage page;
    page.Family("velmora_requests_total", "counter", "Requests answered since the start, by the kind of reply.");
    for (std::size_t i = 0; i < std::size(kReplyLabels); ++i)
        page.Sample("velmora_requests_total", "reply", kReplyLabels[i], figures.nReplies[i]);
    page.Single("velmora_sent_bytes_total", "counter", "Bytes of replies taken by the system's sockets since the start.",
                figures.nBytesSent);
    page.Single("velmora_connections_accepted_total", "counter", "Connections accepted since the start.",
                figures.nAccepted);
    page.Family("velmora_connections_closed_total", "counter", "Connections closed since the start, by cause.");
    for (std::size_t i = 0; i < std::size(kCloseLabels); ++i)
        page.Sample("velmora_connections_closed_total", "cause", kCloseLabels[i], figures.nClosed[i]);
    const std::uint64_t closed = figures.ClosedTotal();
    page.Single("velmora_connections_open", "gauge", "Connections open now.",
                figures.nAccepted > closed ? figures.nAccepted - closed : 0);
    page.Single("velmora_package_files_open", "gauge", "Package files that replies hold open now.",
                state.nPackageFilesOpen);
    Budgets(page, "velmora_budget_used", "Amount of each budget shared by all connections in use now.", state,
            &BudgetFigure::used);
    Budgets(page, "velmora_budget_size", "Size of each budget shared by all connections (+Inf: no limit).", state,
            &BudgetFigure::size);
    page.Single("velmora_listings_built_total", "counter", "Folder listings built since the start.",
                figures.nListingsBuilt);
    page.Single("velmora_listings_shared_total", "counter",
                "Listing replies that shared a listing built for another request since the start.",
                figures.nListingsShared);
    page.Single("velmora_log_lines_dropped_total", "counter",
                "Log lines that could not be written to the log file since the start.",
                figures.nLogLinesDropped.load(std::memory_order_relaxed));
    page.Single("velmora_uptime_seconds", "gauge", "Seconds since the start.", state.nUptimeSeconds);
    return page.Take();
}
