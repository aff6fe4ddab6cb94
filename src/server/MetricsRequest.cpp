// The monitoring reply: the figures and the state of the budgets read on the listener thread, as one text reply.
#include "server/MetricsRequest.h"

#include "common/Format.h"
#include "common/Utf8.h"
#include "server/FiguresText.h"
#include "server/ServerContext.h"
#include "threading/Clock.h"

bool IsMetricsRequest(std::wstring_view method, std::wstring_view path) {
    return path == kMetricsPath && (AsciiEqualsNoCase(method, L"get") || AsciiEqualsNoCase(method, L"head"));
}

std::string MetricsReply(CServerContext& context, bool headOnly) {
    const CServerFigures& figures = context.Figures();
    FiguresState state;
    state.nPackageFilesOpen = context.PackageDescriptors().Used();
    state.headBytes = {context.HeadBytes().Used(), context.HeadBytes().Limit()};
    state.listingBytes = {context.ReplyMemory().Used(), context.ReplyMemory().Limit()};
    state.packageDescriptors = {context.PackageDescriptors().Used(), context.PackageDescriptors().Limit()};
    const std::uint64_t now = TickCount64();
    state.nUptimeSeconds = now > figures.nStartMs ? (now - figures.nStartMs) / 1000 : 0;
    const std::string page = FiguresText(figures, state);
    std::string reply = FormatA("HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %ld\r\n\r\n",
                                std::string_view(kFiguresContentType), static_cast<std::int64_t>(page.size()));
    if (!headOnly) reply += page;
    return reply;
}
