// The service's listening socket under Windows rules: claimed exclusively, so that no other
// socket (another program's, asking SO_REUSEADDR) can bind its port meanwhile. Exit 0 when
// both hold.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdio>

#include "listen_options.h"

namespace {

namespace net = boost::asio;

int failures = 0;

void Expect(bool holds, const char* what) {
  std::printf("%s %s\n", holds ? "ok  " : "FAIL", what);
  if (!holds) ++failures;
}

// A plain Winsock socket, as another program would open it, trying the same port.
bool AnotherBindSucceeds(unsigned short port) {
  const SOCKET other = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  BOOL yes = TRUE;
  setsockopt(other, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool bound = bind(other, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  closesocket(other);
  return bound;
}

}  // namespace

int main() {
  net::io_context ioc;
  net::ip::tcp::acceptor acceptor(ioc);
  boost::system::error_code ec;
  acceptor.open(net::ip::tcp::v4(), ec);
  if (!ec) qeld::ClaimAddress(acceptor, ec);
  if (!ec) acceptor.bind({net::ip::address_v4::loopback(), 0}, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  Expect(!ec, "the service's way of listening works");
  if (ec) return 1;

  BOOL exclusive = FALSE;
  int size = sizeof exclusive;
  getsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
             reinterpret_cast<char*>(&exclusive), &size);
  Expect(exclusive == TRUE, "the listening socket has SO_EXCLUSIVEADDRUSE");
  Expect(!AnotherBindSucceeds(acceptor.local_endpoint().port()),
         "another socket cannot bind the port, SO_REUSEADDR or not");
  return failures == 0 ? 0 : 1;
}
