// A UDP socket over the platform's sockets (BSD or Winsock), just what the
// camera server needs: bind to an address, send to and receive from IPv4
// endpoints, wait on several sockets at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "CGvcpServer.h"

namespace veltcam::gige {

// Where stream packets go: the socket, or a recorder in tests.
class IPacketSink {
  public:
    virtual ~IPacketSink() = default;
    virtual bool SendTo(const uint8_t* data, std::size_t size, const Endpoint& to) = 0;
    // Several datagrams to one endpoint; returns how many went out.
    virtual std::size_t SendBatch(const uint8_t* const* data, const std::size_t* sizes,
                                  std::size_t count, const Endpoint& to) = 0;
};

class CUdpSocket : public IPacketSink {
  public:
    CUdpSocket() = default;
    ~CUdpSocket() override;
    CUdpSocket(const CUdpSocket&) = delete;
    CUdpSocket& operator=(const CUdpSocket&) = delete;

    // Binds to ip:port (host order; port 0: any). shareAddress lets several
    // servers bind the same broadcast address and port.
    bool Open(uint32_t ip, uint16_t port, bool shareAddress, std::string* error);
    void Close();
    bool IsOpen() const;
    uint16_t LocalPort() const;
    // Stream packets must not be fragmented: receivers drop IP fragments.
    void SetDontFragment();
    void SetSendBuffer(int bytes);
    // Datagrams to multicast groups leave through the interface holding
    // interfaceIp (host order) and cross at most ttl routers.
    bool SetMulticastSender(uint32_t interfaceIp, int ttl);

    bool SendTo(const uint8_t* data, std::size_t size, const Endpoint& to) override;
    // One system call for the whole batch where the system has it.
    std::size_t SendBatch(const uint8_t* const* data, const std::size_t* sizes, std::size_t count,
                          const Endpoint& to) override;
    // Bytes received, 0 when nothing waits, -1 on an error.
    int Receive(uint8_t* buffer, std::size_t size, Endpoint* from);

    // Waits until one of the sockets has a datagram; its index, or -1 after timeoutMs.
    static int WaitReadable(std::initializer_list<CUdpSocket*> sockets, int timeoutMs);

    // Winsock needs starting once per process; a no-op elsewhere.
    static bool StartNetworking();

  private:
    intptr_t handle_ = -1;
};

// "a.b.c.d" to a host-order address; false for anything else.
bool ParseIpv4(const std::string& text, uint32_t* ip);
std::string FormatIpv4(uint32_t ip);

}  // namespace veltcam::gige
