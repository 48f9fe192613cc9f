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
#include <utility>

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
  void Watch();
  void EndWait(Status status, std::string body);
  void Abandon();
  void Upgrade();
  void Reply(Status status, std::string_view type, std::string body);
  void ReplyJson(Status status, std::string body) {
    Reply(status, "application/json", std::move(body));
  }

  ConnectionCount counted_;
  boost::beast::tcp_stream stream_;
  SharedState& state_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  Decision decision_;
  bool keep_alive_ = false;
  unsigned version_ = 11;
  // A stable wait: its port and waiter, whether a read watches for the client's hang-up, and
  // the answer held until that read has ended.
  std::optional<boost::asio::steady_timer> timer_;
  Port* waiting_on_ = nullptr;
  std::uint64_t waiter_ = 0;
  bool watching_ = false;
  std::optional<std::pair<Status, std::string>> answer_;
};

}  // namespace qeld
