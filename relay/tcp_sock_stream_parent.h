#pragma once

#include "relay/stream_side.h"

// How a repeater's sockets report to it: the listening socket that connections wait, a stream
// its events, naming itself by pair index and side.
// notifyOnClose and notifyOnError end with the whole pair closed and both streams destroyed,
// so a stream touches nothing of itself or its partner after either returns.
class CTcpSockStreamParent {
  public:
    virtual void notifyOnAccept() = 0;
    virtual void notifyOnConnect(int index, Side side) = 0;
    virtual void notifyOnClose(int index, Side side) = 0;
    virtual void notifyOnError(int index, Side side, int err) = 0;

  protected:
    ~CTcpSockStreamParent() = default;
};
