#pragma once

// Told the number of relayed connections whose both ends are established.
class CTcpRepeaterListener {
  public:
    virtual void notifyConnectionCount(int count) = 0;

  protected:
    ~CTcpRepeaterListener() = default;
};
