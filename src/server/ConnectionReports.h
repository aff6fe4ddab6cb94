// What a connection reports to the set that owns it, for the set to act on between notifications.
#pragma once

#include <cstdint>

class CHTTPUpdateServiceSocket;

class IConnectionReports {
  public:
    // The connection closed itself: the set deletes it. Never fails (a
    // report that cannot be kept is found by the set's periodic pass).
    virtual void OnConnectionFinished(CHTTPUpdateServiceSocket& connection) = 0;
    // A package open of connection `id` found no descriptor: the set frees
    // one and has the connection try again. Throws std::bad_alloc when the
    // report cannot be kept.
    virtual void OnDescriptorWanted(std::uint64_t id) = 0;

  protected:
    ~IConnectionReports() = default;
};
