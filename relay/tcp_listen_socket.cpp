#include "relay/tcp_listen_socket.h"

#include "platform/trace.h"
#include "platform/wsa_error.h"
#include "relay/tcp_sock_stream_parent.h"

void CTcpListenSocket::OnAccept(int nErrorCode) {
    if (nErrorCode != 0) {
        TRACE("Error:CTcpSockStream::OnAccept() err=%d\n", WSAGetLastError());
        return;
    }
    parent_.notifyOnAccept();
}
