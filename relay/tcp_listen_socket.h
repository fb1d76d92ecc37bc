#pragma once

#include "platform/async_socket.h"

class CTcpSockStreamParent;

// A repeater's listening socket: tells the repeater when connections wait to be accepted.
// Ownership: owns its socket; the parent is not owned and outlives it.
// Thread: the relay's thread, inside socket notifications.
class CTcpListenSocket : public CAsyncSocket {
  public:
    explicit CTcpListenSocket(CTcpSockStreamParent& parent) : parent_(parent) {}

    void OnAccept(int nErrorCode) override;

  private:
    CTcpSockStreamParent& parent_;
};
