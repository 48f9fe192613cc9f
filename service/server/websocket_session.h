// A WebSocket subscriber of a stream port, over plain TCP or TLS. Beast does the handshake,
// reads (and drops) what the client sends and answers its pings and close; the port's
// messages arrive as ready-made frames shared by all its clients and go out through the
// ordered socket.
#pragma once

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <memory>
#include <string>

#include "ordered_socket.h"
#include "shared_state.h"

namespace qeld {

template <class NextLayer>
class WebSocketSession : public Subscriber,
                         public std::enable_shared_from_this<WebSocketSession<NextLayer>> {
 public:
  WebSocketSession(NextLayer&& next, SharedState& state, Port& port)
      : counted_(state), ws_(std::move(next)), state_(state), port_(port) {}
  ~WebSocketSession() override {
    if (subscribed_) --state_.ws_clients;
  }

  void Accept(boost::beast::http::request<boost::beast::http::string_body> request,
              std::string protocol);

  // Queues one message frame; a client that lets its queue overflow is dropped, so a slow
  // client never delays the others.
  void Send(const std::shared_ptr<const std::string>& frame) override;
  bool closed() const override { return closed_ || ws_.next_layer().failed(); }

 private:
  void Read();
  void Drop();

  ConnectionCount counted_;
  boost::beast::websocket::stream<OrderedSocket<NextLayer>> ws_;
  SharedState& state_;
  Port& port_;
  boost::beast::flat_buffer input_;
  bool closed_ = false;
  bool subscribed_ = false;
};

template <class NextLayer>
void WebSocketSession<NextLayer>::Accept(
    boost::beast::http::request<boost::beast::http::string_body> request, std::string protocol) {
  namespace http = beast::http;
  namespace websocket = beast::websocket;
  const Limits& limits = state_.config.limits;
  websocket::stream_base::timeout timeout{};
  timeout.handshake_timeout = limits.header_timeout;
  timeout.idle_timeout = limits.ws_idle;
  timeout.keep_alive_pings = true;
  ws_.set_option(timeout);
  ws_.read_message_max(limits.ws_message_bytes);
  beast::error_code ignored;
  RawSocket(beast::get_lowest_layer(ws_))
      .set_option(net::socket_base::send_buffer_size(static_cast<int>(limits.ws_socket_buffer)),
                  ignored);
  ws_.set_option(websocket::stream_base::decorator([protocol](websocket::response_type& res) {
    res.set(http::field::server, "qelscaled");
    if (!protocol.empty()) res.set(http::field::sec_websocket_protocol, protocol);
  }));
  ws_.async_accept(request, [self = this->shared_from_this()](beast::error_code ec) {
    if (ec) return;
    self->ws_.next_layer().Opened();
    self->subscribed_ = true;
    ++self->state_.ws_clients;
    self->state_.hub.Subscribe(self->port_, self);
    self->Read();
  });
}

template <class NextLayer>
void WebSocketSession<NextLayer>::Send(const std::shared_ptr<const std::string>& frame) {
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
template <class NextLayer>
void WebSocketSession<NextLayer>::Read() {
  ws_.async_read(input_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
    if (ec) {
      self->Drop();
      return;
    }
    self->input_.consume(self->input_.size());
    self->Read();
  });
}

template <class NextLayer>
void WebSocketSession<NextLayer>::Drop() {
  if (closed_) return;
  closed_ = true;
  ws_.next_layer().Close();
}

}  // namespace qeld
