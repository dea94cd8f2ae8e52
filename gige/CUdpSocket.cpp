#include "CUdpSocket.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketLength = int;
#define VC_INVALID(s) ((s) == static_cast<intptr_t>(INVALID_SOCKET))
#else
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketLength = socklen_t;
#define VC_INVALID(s) ((s) < 0)
#endif

namespace veltcam::gige {
namespace {

sockaddr_in Address(const Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(e.ip);
    a.sin_port = htons(e.port);
    return a;
}

#if defined(_WIN32)
using Native = SOCKET;
void CloseNative(intptr_t s) { closesocket(static_cast<SOCKET>(s)); }
#else
using Native = int;
void CloseNative(intptr_t s) { ::close(static_cast<int>(s)); }
#endif

Native N(intptr_t h) { return static_cast<Native>(h); }

}  // namespace

bool CUdpSocket::StartNetworking() {
#if defined(_WIN32)
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
#else
    return true;
#endif
}

CUdpSocket::~CUdpSocket() { Close(); }

bool CUdpSocket::IsOpen() const { return !VC_INVALID(handle_); }

void CUdpSocket::Close() {
    if (IsOpen()) CloseNative(handle_);
    handle_ = -1;
}

bool CUdpSocket::Open(uint32_t ip, uint16_t port, bool shareAddress, std::string* error) {
    Close();
    StartNetworking();
    const intptr_t s = static_cast<intptr_t>(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (VC_INVALID(s)) {
        if (error) *error = "no UDP socket";
        return false;
    }
    handle_ = s;
    const int on = 1;
    setsockopt(N(s), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
    if (shareAddress) {
        setsockopt(N(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    }
    sockaddr_in a = Address({ip, port});
    if (::bind(N(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (error) {
            *error = "cannot bind " + FormatIpv4(ip) + ":" + std::to_string(port) + ": " +
                     std::strerror(errno);
        }
        Close();
        return false;
    }
    return true;
}

uint16_t CUdpSocket::LocalPort() const {
    sockaddr_in a{};
    SocketLength length = sizeof a;
    if (getsockname(N(handle_), reinterpret_cast<sockaddr*>(&a), &length) != 0) return 0;
    return ntohs(a.sin_port);
}

void CUdpSocket::SetDontFragment() {
#if defined(IP_MTU_DISCOVER) && defined(IP_PMTUDISC_DO)
    const int value = IP_PMTUDISC_DO;
    setsockopt(N(handle_), IPPROTO_IP, IP_MTU_DISCOVER, &value, sizeof value);
#elif defined(IP_DONTFRAGMENT)
    const DWORD value = 1;
    setsockopt(N(handle_), IPPROTO_IP, IP_DONTFRAGMENT, reinterpret_cast<const char*>(&value),
               sizeof value);
#endif
}

void CUdpSocket::SetSendBuffer(int bytes) {
    setsockopt(N(handle_), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
               sizeof bytes);
}

bool CUdpSocket::SetMulticastSender(uint32_t interfaceIp, int ttl) {
    in_addr a{};
    a.s_addr = htonl(interfaceIp);
    const bool viaInterface = setsockopt(N(handle_), IPPROTO_IP, IP_MULTICAST_IF,
                                         reinterpret_cast<const char*>(&a), sizeof a) == 0;
#if defined(_WIN32)
    const DWORD hops = static_cast<DWORD>(ttl);
#else
    const int hops = ttl;
#endif
    const bool limited = setsockopt(N(handle_), IPPROTO_IP, IP_MULTICAST_TTL,
                                    reinterpret_cast<const char*>(&hops), sizeof hops) == 0;
    return viaInterface && limited;
}

bool CUdpSocket::SendTo(const uint8_t* data, std::size_t size, const Endpoint& to) {
    sockaddr_in a = Address(to);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto sent =
            ::sendto(N(handle_), reinterpret_cast<const char*>(data), static_cast<int>(size), 0,
                     reinterpret_cast<sockaddr*>(&a), sizeof a);
        if (sent >= 0) return true;
#if !defined(_WIN32)
        // A full send buffer is back-pressure, not loss: wait for room.
        if (errno == ENOBUFS || errno == EAGAIN) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(N(handle_), &set);
            timeval tv{0, 1000};
            select(N(handle_) + 1, nullptr, &set, nullptr, &tv);
            continue;
        }
#endif
        return false;
    }
    return false;
}

std::size_t CUdpSocket::SendBatch(const uint8_t* const* data, const std::size_t* sizes,
                                  std::size_t count, const Endpoint& to) {
#if defined(__linux__)
    // One system call for many packets: the per-call cost dominates at full rate.
    sockaddr_in a = Address(to);
    std::size_t done = 0;
    while (done < count) {
        mmsghdr messages[64];
        iovec vectors[64];
        const std::size_t n = std::min<std::size_t>(64, count - done);
        for (std::size_t i = 0; i < n; ++i) {
            vectors[i].iov_base = const_cast<uint8_t*>(data[done + i]);
            vectors[i].iov_len = sizes[done + i];
            std::memset(&messages[i], 0, sizeof messages[i]);
            messages[i].msg_hdr.msg_name = &a;
            messages[i].msg_hdr.msg_namelen = sizeof a;
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = sendmmsg(N(handle_), messages, static_cast<unsigned>(n), 0);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        // Full buffer or an error on the first packet: fall back to the waiting send.
        if (!SendTo(data[done], sizes[done], to)) return done;
        ++done;
    }
    return done;
#else
    std::size_t done = 0;
    for (; done < count; ++done) {
        if (!SendTo(data[done], sizes[done], to)) break;
    }
    return done;
#endif
}

int CUdpSocket::Receive(uint8_t* buffer, std::size_t size, Endpoint* from) {
    sockaddr_in a{};
    SocketLength length = sizeof a;
    const auto got = ::recvfrom(N(handle_), reinterpret_cast<char*>(buffer), static_cast<int>(size),
                                0, reinterpret_cast<sockaddr*>(&a), &length);
    if (got < 0) return -1;
    if (from) {
        from->ip = ntohl(a.sin_addr.s_addr);
        from->port = ntohs(a.sin_port);
    }
    return static_cast<int>(got);
}

int CUdpSocket::WaitReadable(std::initializer_list<CUdpSocket*> sockets, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    Native highest = 0;
    for (CUdpSocket* s : sockets) {
        if (s == nullptr || !s->IsOpen()) continue;
        FD_SET(N(s->handle_), &set);
        if (N(s->handle_) > highest) highest = N(s->handle_);
    }
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (select(static_cast<int>(highest) + 1, &set, nullptr, nullptr, &tv) <= 0) return -1;
    int index = 0;
    for (CUdpSocket* s : sockets) {
        if (s != nullptr && s->IsOpen() && FD_ISSET(N(s->handle_), &set)) return index;
        ++index;
    }
    return -1;
}

bool ParseIpv4(const std::string& text, uint32_t* ip) {
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4) return false;
    if (a > 255 || b > 255 || c > 255 || d > 255) return false;
    *ip = a << 24 | b << 16 | c << 8 | d;
    return true;
}

std::string FormatIpv4(uint32_t ip) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 255, (ip >> 8) & 255,
                  ip & 255);
    return text;
}

}  // namespace veltcam::gige
