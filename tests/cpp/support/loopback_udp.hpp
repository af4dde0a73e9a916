#pragma once
// UDP sockets of a test or benchmark of its own: bound to a given address,
// the port they were given, and one segmented send (several datagrams of one
// size, the last possibly shorter, in a single call) the way a fast sender
// batches them. Header-only so the benchmarks can use it too.
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <span>

#include "util/inet.hpp"
#include "util/unique_fd.hpp"

namespace oculane::testing {

// A datagram socket bound to ip:port (port 0: any free port); an invalid
// descriptor if the socket could not be made or bound.
inline UniqueFd bound_udp(std::uint32_t ip, std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    const sockaddr_in sa = inet::to_sockaddr(ip, port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) fd.reset();
    return fd;
}

// The local port a bound socket was given.
inline std::uint16_t local_port(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return inet::port_of(sa);
}

// Sends `run` as datagrams of `segment` bytes each in one call; what
// sendmsg returned (the whole run's size on success).
inline ssize_t send_segmented(int fd, const sockaddr_in& to, std::span<const std::uint8_t> run,
                              std::uint16_t segment) {
    iovec iov{const_cast<std::uint8_t*>(run.data()), run.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr m{};
    m.msg_name = const_cast<sockaddr_in*>(&to);
    m.msg_namelen = sizeof to;
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
    return ::sendmsg(fd, &m, 0);
}

}  // namespace oculane::testing
