// A WebSocket subscriber of a stream port. Beast does the handshake, reads (and drops) what
// the client sends and answers its pings and close; the port's messages arrive as ready-made
// frames shared by all its clients and go out through the ordered socket.
#pragma once

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <memory>
#include <string>

#include "ordered_socket.h"
#include "shared_state.h"

namespace qeld {

class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(tcp::socket&& socket, SharedState& state, Port& port);
  ~WebSocketSession();

  void Accept(boost::beast::http::request<boost::beast::http::string_body> request,
              std::string protocol);

  // Queues one message frame; a client that lets its queue overflow is dropped, so a slow
  // client never delays the others.
  void Send(const std::shared_ptr<const std::string>& frame);
  bool closed() const { return closed_ || ws_.next_layer().failed(); }

 private:
  void Read();
  void Drop();

  ConnectionCount counted_;
  boost::beast::websocket::stream<OrderedSocket> ws_;
  SharedState& state_;
  Port& port_;
  boost::beast::flat_buffer input_;
  bool closed_ = false;
  bool subscribed_ = false;
};

}  // namespace qeld
