// What a listener thread tells the one that started it: that its socket listens, or that it cannot.
#pragma once

#include "platform/Types.h"

class IListenerEvents {
  public:
    // The socket listens. Called on the listener thread.
    virtual void OnListening() = 0;
    // The socket could not listen (`error`: the socket error); the thread
    // goes on until it is stopped. Called on the listener thread.
    virtual void OnListenFailed(DWORD error) = 0;

  protected:
    ~IListenerEvents() = default;
};
