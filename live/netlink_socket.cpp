// The kernel's route netlink socket, as Rtnl's transport.
#include <libmnl/libmnl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "netlink.h"

namespace brantel_sim::live {
namespace {

// The kernel answers at once; a wait this long means it never will.
constexpr int kReceiveTimeoutSeconds = 30;

class KernelTransport final : public Transport {
 public:
  ~KernelTransport() override {
    if (sock_) mnl_socket_close(sock_);
  }

  int send(const void* data, std::size_t len) override {
    if (int err = open()) return err;
    return mnl_socket_sendto(sock_, data, len) < 0 ? errno : 0;
  }

  ssize_t receive(void* buf, std::size_t len) override {
    if (!sock_) {
      errno = ENOTCONN;
      return -1;
    }
    for (;;) {
      sockaddr_nl from{};
      iovec iov{buf, len};
      msghdr msg{};
      msg.msg_name = &from;
      msg.msg_namelen = sizeof from;
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      // MSG_TRUNC: the datagram's whole length, so a cut one shows.
      ssize_t n = recvmsg(mnl_socket_get_fd(sock_), &msg, MSG_TRUNC);
      if (n < 0) return n;
      // Only the kernel's words count.
      if (msg.msg_namelen != sizeof from || from.nl_pid != 0) continue;
      if ((msg.msg_flags & MSG_TRUNC) && static_cast<std::size_t>(n) <= len)
        n = static_cast<ssize_t>(len) + 1;
      return n;
    }
  }

  std::uint32_t port_id() const override { return port_; }

 private:
  int open() {
    if (sock_) return 0;
    sock_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
    if (!sock_) return errno;
    int on = 1;
    // The kernel's own words for a refusal make a better message than errno;
    // capped acknowledgements leave out the request, which we have.
    mnl_socket_setsockopt(sock_, NETLINK_EXT_ACK, &on, sizeof on);
    mnl_socket_setsockopt(sock_, NETLINK_CAP_ACK, &on, sizeof on);
    timeval tv{kReceiveTimeoutSeconds, 0};
    setsockopt(mnl_socket_get_fd(sock_), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    // Connected to the kernel, the socket takes no datagram from any other
    // sender: any process may otherwise write to our port.
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (mnl_socket_bind(sock_, 0, MNL_SOCKET_AUTOPID) < 0 ||
        connect(mnl_socket_get_fd(sock_), reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) <
            0) {
      int err = errno;
      mnl_socket_close(sock_);
      sock_ = nullptr;
      return err;
    }
    port_ = mnl_socket_get_portid(sock_);
    return 0;
  }

  mnl_socket* sock_ = nullptr;
  std::uint32_t port_ = 0;
};

}  // namespace

std::unique_ptr<Transport> kernel_transport() { return std::make_unique<KernelTransport>(); }

}  // namespace brantel_sim::live
