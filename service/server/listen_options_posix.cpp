#include "listen_options.h"

namespace qeld {

// POSIX refuses a second listener on a bound port anyway; SO_REUSEADDR only lets a restart
// bind while the last run's connections linger in TIME_WAIT.
void ClaimAddress(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
  acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
}

}  // namespace qeld
