// The monitoring request: which request it is, and its reply with the server's figures.
#pragma once

#include <string>
#include <string_view>

class CServerContext;

// The path of the monitoring request.
constexpr std::wstring_view kMetricsPath = L"/metrics";

// A GET or HEAD (either in any case) of exactly kMetricsPath, as the
// request line spells it. Whether it is answered depends on the server's
// settings and on the client (a loopback address); otherwise it is routed
// as any other request and gets "not found".
bool IsMetricsRequest(std::wstring_view method, std::wstring_view path);

// The 200 reply carrying the figures of `context` as they are now (the head
// alone, with the length the page would have, when `headOnly`).
std::string MetricsReply(CServerContext& context, bool headOnly);
