#pragma once

#include <string>

// How a stream reports to its repeater. The stream names itself by pair index and kind.
// notifyOnClose and notifyOnError end with the whole pair closed and both streams destroyed,
// so a stream touches nothing of itself or its partner after either returns.
class CTcpSockStreamParent {
  public:
    virtual void notifyOnAccept(int index, std::string kind) = 0;
    virtual void notifyOnConnect(int index, std::string kind) = 0;
    virtual void notifyOnClose(int index, std::string kind) = 0;
    virtual void notifyOnError(int index, std::string kind, int err) = 0;

  protected:
    ~CTcpSockStreamParent() = default;
};
