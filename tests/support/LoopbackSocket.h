#pragma once

// Raw TCP sockets on 127.0.0.1, for servers that answer below HTTP and for addresses where
// nothing listens.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace th::test {

// A TCP socket bound to 127.0.0.1 on a port the system picks; the port is stored in port.
inline int bindOnLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// A port on 127.0.0.1 on which nothing listens: one the system just handed out and took back.
inline int closedPort() {
    int port = 0;
    ::close(bindOnLoopback(port));
    return port;
}

}  // namespace th::test
