#include "server.h"

#include <boost/asio/signal_set.hpp>
#include <cstdio>

#include "listener.h"
#include "shared_state.h"

namespace qeld {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

// "HOST:PORT" of the bound socket, IPv6 hosts in brackets.
std::string Authority(const tcp::endpoint& bound) {
  const std::string host = bound.address().is_v6() ? "[" + bound.address().to_string() + "]"
                                                   : bound.address().to_string();
  return host + ":" + std::to_string(bound.port());
}

}  // namespace

int Serve(const Config& config, qel::Services& platform, QueueLog& log) {
  SharedState state(config, platform, log);
  boost::system::error_code ec;
  const auto address = net::ip::make_address(config.listen_host, ec);
  if (ec) {
    std::fprintf(stderr, "qelscaled: bad listen address %s\n", config.listen_host.c_str());
    return 2;
  }
  Listener listener(state);
  const std::string error = listener.Open(tcp::endpoint(address, config.listen_port));
  if (!error.empty()) {
    std::fprintf(stderr, "qelscaled: cannot listen on %s:%u: %s\n", config.listen_host.c_str(),
                 static_cast<unsigned>(config.listen_port), error.c_str());
    return 1;
  }
  state.hub.Start();
  const std::string url =
      (config.tls ? "https://" : "http://") + Authority(listener.local_endpoint()) + "/";
  std::printf("listening on %s\n", url.c_str());
  std::fflush(stdout);
  log.Line("listening on " + url);

  net::signal_set signals(state.ioc, SIGINT, SIGTERM);
  signals.async_wait([&](boost::system::error_code, int) {
    listener.Close();
    state.ioc.stop();
  });
  listener.Accept();
  state.ioc.run();
  state.hub.Stop();
  log.Line("stopped");
  return 0;
}

}  // namespace qeld
