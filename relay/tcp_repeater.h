#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "relay/buffer_pool.h"
#include "relay/tcp_repeater_listener.h"
#include "relay/tcp_sock_pair.h"
#include "relay/tcp_sock_stream.h"
#include "relay/tcp_sock_stream_parent.h"

class CIpFilter;

// The forwarding engine of one port: listens on a local TCP port and relays every admitted
// client to one destination host and port, one pair of streams per client.
//
// Pairs live in a table under the lowest free index; both ends close together. The number of
// pairs whose both ends are established is reported to the listener after every change.
// Ownership: owns the listening stream, the table, every pair and both streams of each pair;
// the listener and the filter are not owned. Thread: the relay's thread only; there is no
// limit on the number of pairs.
class CTcpRepeater : public CTcpSockStreamParent {
  public:
    CTcpRepeater();
    virtual ~CTcpRepeater();
    CTcpRepeater(const CTcpRepeater&) = delete;
    CTcpRepeater& operator=(const CTcpRepeater&) = delete;

    void notifyOnAccept(int index, std::string kind) override;
    void notifyOnConnect(int index, std::string kind) override;
    void notifyOnClose(int index, std::string kind) override;
    void notifyOnError(int index, std::string kind, int err) override;

    void setListener(CTcpRepeaterListener* newListener) { listener = newListener; }
    void setBufferSize(int sizeKb) { bufferSize = sizeKb; }
    void setListenBind(int enabled, const std::string& ip);
    void setConnectBind(int enabled, const std::string& ip);
    void setFilter(const CIpFilter* filter) { ipFilter = filter; }

    void start(int listenPort, const std::string& host, int destinationPort);
    void stop();

    // The first pair at or after cursor, moving the cursor past it; null and -1 at the end.
    CTcpSockPair* getNextPair(int& cursor);

    // The port the listening socket is bound to (useful when started on port 0), or 0.
    unsigned int getListenPort() const;
    bool isListening() const { return listening_; }
    int getConnectionCount() const { return connectedCount_; }

  private:
    int addPair(std::unique_ptr<CTcpSockPair> pair);
    void closePair(int slot);
    void reportConnectionCount();
    void closePairStreams(CTcpSockPair& pair);
    void markConnected(CTcpSockPair& pair);
    std::shared_ptr<BufferPool> poolForBufferSize();

    CTcpRepeaterListener* listener = nullptr;
    // Declared before the pairs: streams give their queue blocks back to it when destroyed.
    std::shared_ptr<BufferPool> pool_;
    std::vector<std::unique_ptr<CTcpSockPair>> pairs;
    CTcpSockStream listenSocket;
    int port = 0;
    std::string forwardHost;
    int forwardPort = 0;
    int bufferSize = 128;
    int listenBindEnabled = 0;
    std::string listenBindIp;
    int connectBindEnabled = 0;
    std::string connectBindIp;
    const CIpFilter* ipFilter = nullptr;
    int connectedCount_ = 0;
    // Occupied slots and the free ones below the table's end, so that neither the lowest
    // free index nor the emptiness of the table needs a scan.
    int occupiedSlots_ = 0;
    std::set<int> freeSlots_;
    bool listening_ = false;
};
