"""A controller speaking GVCP by hand that sends the stream to a multicast
group, and a receiver that joins the group on loopback.

  multicast_client.py ADDRESS refused   the group is refused with a bad-value status
  multicast_client.py ADDRESS stream    one whole frame arrives at the group, sent
                                        from the served address
"""
import socket
import struct
import sys

GROUP = "239.255.42.1"
PORT = 50042
CCP = 0x0A00
STREAM_PORT = 0x0D00
STREAM_DESTINATION = 0x0D18
FEATURES = 0x00010000
WIDTH, HEIGHT = FEATURES + 0x00, FEATURES + 0x04
PIXEL_FORMAT = FEATURES + 0x20
ACQUISITION_START, ACQUISITION_STOP = FEATURES + 0x2C, FEATURES + 0x30
MONO8 = 0x01080001
PENDING_ACK = 0x0089


class Controller:
    def __init__(self, address):
        self.address = address
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.settimeout(5)
        self.request = 0

    def write(self, register, value):
        self.request += 1
        body = struct.pack(">II", register, value)
        self.sock.sendto(struct.pack(">BBHHH", 0x42, 1, 0x0082, len(body), self.request) + body,
                         (self.address, 3956))
        while True:
            data, _ = self.sock.recvfrom(2048)
            status, ack, _, _ = struct.unpack(">HHHH", data[:8])
            if ack != PENDING_ACK:
                return status


def refused(address):
    controller = Controller(address)
    assert controller.write(CCP, 2) == 0
    status = controller.write(STREAM_DESTINATION, struct.unpack(">I", socket.inet_aton(GROUP))[0])
    controller.write(CCP, 0)
    assert status == 0x8002, "group accepted: status 0x%04x" % status
    print("group refused with 0x%04x" % status)


def stream(address):
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    receiver.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    receiver.bind((GROUP, PORT))
    receiver.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                        socket.inet_aton(GROUP) + socket.inet_aton("127.0.0.1"))
    receiver.settimeout(5)

    controller = Controller(address)
    for register, value in ((CCP, 2), (WIDTH, 640), (HEIGHT, 480), (PIXEL_FORMAT, MONO8),
                            (STREAM_DESTINATION, struct.unpack(">I", socket.inet_aton(GROUP))[0]),
                            (STREAM_PORT, PORT), (ACQUISITION_START, 1)):
        status = controller.write(register, value)
        assert status == 0, "write 0x%x: status 0x%04x" % (register, status)

    # Frames already under way when the receiver started count only from a leader.
    blocks = {}
    complete = None
    sources = set()
    while complete is None:
        data, source = receiver.recvfrom(70000)
        sources.add(source[0])
        _, block, word = struct.unpack(">HHI", data[:8])
        kind = (word >> 24) & 0x0F
        if kind == 1:
            blocks[block] = 0
        elif kind == 3 and block in blocks:
            blocks[block] += len(data) - 8
        elif kind == 2 and block in blocks:
            complete = blocks[block]
    controller.write(ACQUISITION_STOP, 1)
    controller.write(CCP, 0)
    assert complete == 640 * 480, "frame of %d bytes" % complete
    assert sources == {address}, sources
    print("a %d-byte frame from %s at %s:%d" % (complete, address, GROUP, PORT))


if __name__ == "__main__":
    {"refused": refused, "stream": stream}[sys.argv[2]](sys.argv[1])
