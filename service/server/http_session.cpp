#include "http_session_impl.h"

namespace qeld {

template <>
struct Transport<beast::tcp_stream> {
  using WebSocketLayer = tcp::socket;

  template <class Then>
  static void Begin(beast::tcp_stream&, Then then) {
    then(beast::error_code());
  }
  template <class Self>
  static void End(beast::tcp_stream& stream, std::chrono::milliseconds, const Self&) {
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream.close();
  }
  static tcp::socket HandOver(beast::tcp_stream& stream) { return stream.release_socket(); }
};

template class HttpSession<beast::tcp_stream>;

void StartHttpSession(tcp::socket socket, SharedState& state) {
  std::make_shared<HttpSession<beast::tcp_stream>>(state, std::move(socket))->Start();
}

}  // namespace qeld
