// HTTPS and wss://: the same HTTP and WebSocket sessions over Beast's TLS stream.
#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "http_session_impl.h"

namespace qeld {

using TlsStream = beast::ssl_stream<beast::tcp_stream>;

template <>
struct Transport<TlsStream> {
  using WebSocketLayer = TlsStream;

  // Under the deadline Start set: a client that never finishes the handshake is dropped.
  template <class Then>
  static void Begin(TlsStream& stream, Then then) {
    stream.async_handshake(net::ssl::stream_base::server, std::move(then));
  }
  // close_notify first, so the client can tell the end of a response from a cut; a client
  // that never answers it is closed after `limit`.
  template <class Self>
  static void End(TlsStream& stream, std::chrono::milliseconds limit, Self self) {
    beast::get_lowest_layer(stream).expires_after(limit);
    stream.async_shutdown(
        [self, &stream](beast::error_code) { beast::get_lowest_layer(stream).close(); });
  }
  static TlsStream HandOver(TlsStream& stream) { return std::move(stream); }
};

template class HttpSession<TlsStream>;

void StartHttpsSession(tcp::socket socket, SharedState& state) {
  std::make_shared<HttpSession<TlsStream>>(state, std::move(socket), *state.config.tls)->Start();
}

}  // namespace qeld
