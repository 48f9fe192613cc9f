// The listening socket: accepts connections up to the limit and starts an HTTP session on
// each; refuses the ones beyond it, and rides out accept failures such as running out of
// descriptors.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include "shared_state.h"

namespace qeld {

class Listener {
 public:
  explicit Listener(SharedState& state) : state_(state), acceptor_(state.ioc) {}

  // Opens, binds and listens; the error when that fails.
  boost::system::error_code Open(const boost::asio::ip::tcp::endpoint& endpoint);
  boost::asio::ip::tcp::endpoint local_endpoint() const { return acceptor_.local_endpoint(); }
  void Accept();
  void Close();

 private:
  void OnAccept(boost::asio::ip::tcp::socket socket);
  void RetryLater();

  SharedState& state_;
  boost::asio::ip::tcp::acceptor acceptor_;
};

}  // namespace qeld
