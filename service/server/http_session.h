// One HTTP connection: reads requests within the limits, routes them, answers, and hands a
// WebSocket upgrade to its session.
#pragma once

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "routing.h"
#include "shared_state.h"

namespace qeld {

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(boost::asio::ip::tcp::socket socket, SharedState& state);

  void Start() { ReadRequest(); }

 private:
  using Request = boost::beast::http::request<boost::beast::http::string_body>;
  using Status = boost::beast::http::status;

  void WaitNext();
  void ReadRequest();
  void Close();
  void Handle();
  void Weigh();
  void WaitStable(Port& port);
  void Upgrade();
  void Reply(Status status, std::string_view type, std::string body);
  void ReplyJson(Status status, std::string body) {
    Reply(status, "application/json", std::move(body));
  }

  ConnectionCount counted_;
  boost::beast::tcp_stream stream_;
  SharedState& state_;
  boost::beast::flat_buffer buffer_{16 * 1024};
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  Decision decision_;
  bool keep_alive_ = false;
  unsigned version_ = 11;
  std::optional<boost::asio::steady_timer> timer_;
};

}  // namespace qeld
