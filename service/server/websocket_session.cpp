#include "websocket_session.h"

namespace qeld {

namespace http = beast::http;
namespace websocket = beast::websocket;

WebSocketSession::WebSocketSession(tcp::socket&& socket, SharedState& state, Port& port)
    : counted_(state), ws_(std::move(socket)), state_(state), port_(port) {}

WebSocketSession::~WebSocketSession() {
  if (subscribed_) --state_.ws_clients;
}

void WebSocketSession::Accept(http::request<http::string_body> request, std::string protocol) {
  const Limits& limits = state_.config.limits;
  websocket::stream_base::timeout timeout{};
  timeout.handshake_timeout = limits.header_timeout;
  timeout.idle_timeout = limits.ws_idle;
  timeout.keep_alive_pings = true;
  ws_.set_option(timeout);
  ws_.read_message_max(limits.ws_message_bytes);
  beast::error_code ignored;
  ws_.next_layer().next_layer().set_option(
      net::socket_base::send_buffer_size(static_cast<int>(limits.ws_socket_buffer)), ignored);
  ws_.set_option(websocket::stream_base::decorator([protocol](websocket::response_type& res) {
    res.set(http::field::server, "qelscaled");
    if (!protocol.empty()) res.set(http::field::sec_websocket_protocol, protocol);
  }));
  ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
    if (ec) return;
    self->ws_.next_layer().Opened();
    self->subscribed_ = true;
    ++self->state_.ws_clients;
    self->state_.hub.Subscribe(self->port_, self);
    self->Read();
  });
}

void WebSocketSession::Send(const std::shared_ptr<const std::string>& frame) {
  if (closed()) return;
  if (ws_.next_layer().waiting() >= state_.config.limits.ws_queue) {
    ++state_.dropped_clients;
    Drop();
    return;
  }
  ws_.next_layer().Send(frame);
}

// Whatever a client sends is read and dropped; an oversized or malformed message ends this
// connection only.
void WebSocketSession::Read() {
  ws_.async_read(input_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
    if (ec) {
      self->Drop();
      return;
    }
    self->input_.consume(self->input_.size());
    self->Read();
  });
}

void WebSocketSession::Drop() {
  if (closed_) return;
  closed_ = true;
  ws_.next_layer().Close();
}

}  // namespace qeld
