#include "platform/connection_ends.h"

bool connectionEnds(int fd, SocketAddress& peer, SocketAddress& local) {
    peer.length = sizeof peer.storage;
    local.length = sizeof local.storage;
    return fd >= 0 && getpeername(fd, peer.get(), &peer.length) == 0 &&
           getsockname(fd, local.get(), &local.length) == 0;
}
