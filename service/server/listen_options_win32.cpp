#include <winsock2.h>

#include "listen_options.h"

namespace qeld {

// Windows' SO_REUSEADDR lets another process bind the very same port and take its
// connections; SO_EXCLUSIVEADDRUSE refuses any other bind while the service holds it.
void ClaimAddress(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
  using ExclusiveAddressUse =
      boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
  acceptor.set_option(ExclusiveAddressUse(true), ec);
}

}  // namespace qeld
