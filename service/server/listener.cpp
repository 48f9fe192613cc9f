#include "listener.h"

#include <boost/asio/steady_timer.hpp>

#include "http_session.h"
#include "listen_options.h"

namespace qeld {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

}  // namespace

error_code Listener::Open(const tcp::endpoint& endpoint) {
  error_code ec;
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) ClaimAddress(acceptor_, ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec) Close();
  return ec;
}

void Listener::Accept() {
  acceptor_.async_accept([this](error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (ec) {
      state_.log.Line("accept: " + ec.message());
      return RetryLater();
    }
    OnAccept(std::move(socket));
    Accept();
  });
}

void Listener::OnAccept(tcp::socket socket) {
  error_code ec;
  if (state_.connections >= state_.config.limits.max_connections) {
    ++state_.refused_connections;
    socket.close(ec);
    return;
  }
  socket.set_option(tcp::no_delay(true), ec);
  if (state_.config.tls) return StartHttpsSession(std::move(socket), state_);
  StartHttpSession(std::move(socket), state_);
}

// Out of descriptors or similar: try again shortly rather than spin.
void Listener::RetryLater() {
  auto timer = std::make_shared<net::steady_timer>(state_.ioc, std::chrono::milliseconds(100));
  timer->async_wait([this, timer](error_code) { Accept(); });
}

void Listener::Close() {
  error_code ignored;
  acceptor_.close(ignored);
}

}  // namespace qeld
