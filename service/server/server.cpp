#include "server.h"

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "listener.h"
#include "shared_state.h"
#include "start.h"

namespace qeld {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

// "HOST:PORT" of the bound socket, IPv6 hosts in brackets.
std::string Authority(const tcp::endpoint& bound) {
  const std::string host = bound.address().is_v6() ? "[" + bound.address().to_string() + "]"
                                                   : bound.address().to_string();
  return host + ":" + std::to_string(bound.port());
}

using Listeners = std::vector<std::unique_ptr<Listener>>;

// A listener on `endpoint`, added to `listeners`; the error when it cannot listen there.
error_code Listen(SharedState& state, const tcp::endpoint& endpoint, Listeners& listeners) {
  auto listener = std::make_unique<Listener>(state);
  const error_code ec = listener->Open(endpoint);
  if (!ec) listeners.push_back(std::move(listener));
  return ec;
}

// A system without IPv6, as opposed to an address some program holds.
bool NoIpv6(const error_code& ec) {
  return ec == net::error::address_family_not_supported ||
         ec == boost::system::errc::address_not_available;
}

// 127.0.0.1, then [::1] on the port it got. Port 0 can find the v4 port taken on v6: a few
// more tries with new ports. `tried` is the endpoint that failed.
error_code ListenOnLoopbacks(SharedState& state, std::uint16_t port, Listeners& listeners,
                             tcp::endpoint& tried) {
  error_code ec;
  for (int attempt = 0; attempt < 8; ++attempt) {
    listeners.clear();
    tried = tcp::endpoint(net::ip::address_v4::loopback(), port);
    if ((ec = Listen(state, tried, listeners))) return ec;
    tried =
        tcp::endpoint(net::ip::address_v6::loopback(), listeners.front()->local_endpoint().port());
    ec = Listen(state, tried, listeners);
    if (NoIpv6(ec)) {
      state.log.Line("no IPv6 loopback here (" + ec.message() + "): 127.0.0.1 only");
      return {};
    }
    if (ec != net::error::address_in_use || port != 0) return ec;
  }
  return ec;
}

error_code OpenListeners(SharedState& state, const net::ip::address& address, Listeners& listeners,
                         tcp::endpoint& tried) {
  const Config& config = state.config;
  if (config.both_loopbacks) return ListenOnLoopbacks(state, config.listen_port, listeners, tried);
  tried = tcp::endpoint(address, config.listen_port);
  return Listen(state, tried, listeners);
}

// A certificate renewed on disk, for the connections accepted from now on. A pair that does
// not load leaves the one in use, so a slip in the renewal never stops the service.
void ReloadTls(SharedState& state) {
  const std::string error = tls::Reload(*state.config.tls, state.config.tls_files);
  if (error.empty()) return state.log.Line("SIGHUP: certificate and key loaded again");
  state.log.Line("SIGHUP: " + error + "; still serving the certificate loaded before",
                 Severity::kError);
}

}  // namespace

int Serve(const Config& config, qel::Services& platform, QueueLog& log, ServeControl* control) {
  SharedState state(config, platform, log);
  error_code ec;
  const auto address = net::ip::make_address(config.listen_host, ec);
  // Through the log, which a service run sends to the system's log and a console run to
  // stderr with the same "qelscaled: " prefix.
  if (ec) {
    log.Line("bad listen address " + config.listen_host, Severity::kError);
    return 2;
  }
  Listeners listeners;
  tcp::endpoint tried;
  if ((ec = OpenListeners(state, address, listeners, tried))) {
    log.Line("cannot listen on " + Authority(tried) + ": " + ec.message(), Severity::kError);
    return 1;
  }
  state.hub.Start();
  for (const auto& listener : listeners) {
    const std::string url =
        (config.tls ? "https://" : "http://") + Authority(listener->local_endpoint()) + "/";
    std::printf("listening on %s\n", url.c_str());
    log.Line("listening on " + url);
  }
  std::fflush(stdout);

  const auto shut = [&] {
    for (const auto& listener : listeners) listener->Close();
    state.ioc.stop();
  };
  net::signal_set signals(state.ioc, SIGINT, SIGTERM);
  signals.async_wait([&](error_code, int) { shut(); });
  // Without TLS there is nothing to read again, and SIGHUP ends the run as it always has.
  const std::shared_ptr<void> reload_watch =
      config.tls ? WatchReloadSignal(state.ioc, [&state] { ReloadTls(state); }) : nullptr;
  if (control != nullptr) {
    control->Attach([&] { net::post(state.ioc, shut); });
    if (control->on_listening) control->on_listening();
  }
  for (const auto& listener : listeners) listener->Accept();
  state.ioc.run();
  if (control != nullptr) control->Detach();
  state.hub.Stop();
  log.Line("stopped");
  return 0;
}

}  // namespace qeld
