// How a listening socket claims its address, as each system needs it so that no other
// program can bind the same address and port while the service holds it.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace qeld {

// Set on the open acceptor before bind.
void ClaimAddress(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec);

}  // namespace qeld
