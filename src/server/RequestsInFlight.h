// The requests of a connection whose replies wait for something else than the socket: a package open or a listing.
//
// Each holds its place in the send queue as a pending entry named by its
// token; the record says what it waits for. Records are kept in the order
// the requests came.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "server/ByteRange.h"

// A package whose open waits for its turn at the head of the queue (a
// connection holds one open package at a time).
struct DeferredPackage {
    enum class Open : std::uint8_t {
        AtItsTurn,             // opened when the replies before it have left the queue
        WaitingForDescriptor,  // an open found no descriptor: the set decides when to try again
        LastTry,               // the next open is the last (a failure then gets the 503 reply)
    };
    std::wstring fullPath;
    RequestedByteRange range;  // the part asked for, selected by the size at the open
    bool statusLineWritten;    // its status line is written (a whole file's, when it was taken)
    Open open = Open::AtItsTurn;
};

// A folder listing asked of the listing workers and not yet delivered.
struct ListingWait {};

struct RequestInFlight {
    std::uint64_t token;
    std::variant<DeferredPackage, ListingWait> waitsFor;
};

class CRequestsInFlight {
  public:
    void Add(std::uint64_t token, std::variant<DeferredPackage, ListingWait> waitsFor) {
        m_requests.push_back(RequestInFlight{token, std::move(waitsFor)});
    }
    // The deferred package of `token` (null: none, or a listing).
    DeferredPackage* FindPackage(std::uint64_t token) {
        const auto found = Find(token);
        return found == m_requests.end() ? nullptr : std::get_if<DeferredPackage>(&found->waitsFor);
    }
    bool IsListing(std::uint64_t token) {
        const auto found = Find(token);
        return found != m_requests.end() && std::holds_alternative<ListingWait>(found->waitsFor);
    }
    void Remove(std::uint64_t token) {
        const auto found = Find(token);
        if (found != m_requests.end()) m_requests.erase(found);
    }
    bool HasListings() const {
        return std::any_of(m_requests.begin(), m_requests.end(),
                           [](const RequestInFlight& r) { return std::holds_alternative<ListingWait>(r.waitsFor); });
    }
    bool HasPackages() const {
        return std::any_of(m_requests.begin(), m_requests.end(), [](const RequestInFlight& r) {
            return std::holds_alternative<DeferredPackage>(r.waitsFor);
        });
    }
    bool Empty() const { return m_requests.empty(); }
    std::size_t Size() const { return m_requests.size(); }
    void Clear() { m_requests.clear(); }
    // Every deferred package that waits for a descriptor gets its last try.
    void GrantLastTries() {
        for (RequestInFlight& request : m_requests) {
            DeferredPackage* package = std::get_if<DeferredPackage>(&request.waitsFor);
            if (package != nullptr && package->open == DeferredPackage::Open::WaitingForDescriptor)
                package->open = DeferredPackage::Open::LastTry;
        }
    }

  private:
    std::vector<RequestInFlight>::iterator Find(std::uint64_t token) {
        return std::find_if(m_requests.begin(), m_requests.end(),
                            [token](const RequestInFlight& r) { return r.token == token; });
    }

    // A vector: an idle connection's empty one holds no memory (a deque would).
    std::vector<RequestInFlight> m_requests;
};
