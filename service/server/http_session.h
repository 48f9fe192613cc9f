// One HTTP connection, plain or over TLS: reads requests within the limits, routes them,
// answers, and hands a WebSocket upgrade to its session. The stream is the template's
// parameter, so a plain connection runs exactly the code it would without TLS in the build.
#pragma once

#include <boost/asio/ip/tcp.hpp>
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

// An accepted connection's session: HTTP, or HTTPS once a TLS context is loaded (only the
// builds with TLS can load one).
void StartHttpSession(boost::asio::ip::tcp::socket socket, SharedState& state);
void StartHttpsSession(boost::asio::ip::tcp::socket socket, SharedState& state);

// What differs between the streams: how a connection begins (the TLS handshake) and ends
// (its close_notify), and what a WebSocket session takes over. One specialization each.
template <class Stream>
struct Transport;

template <class Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  template <class... StreamArgs>
  explicit HttpSession(SharedState& state, StreamArgs&&... stream_args)
      : counted_(state),
        stream_(std::forward<StreamArgs>(stream_args)...),
        state_(state),
        // The buffer holds at most one whole request: --header-limit and the body limit size it.
        buffer_(state.config.limits.header_bytes + state.config.limits.body_bytes) {}

  void Start();

 private:
  using Request = boost::beast::http::request<boost::beast::http::string_body>;
  using Status = boost::beast::http::status;

  void WaitNext();
  void ReadRequest();
  void Close();
  void Handle();
  void Weigh();
  void RunCommand();
  void WaitStable(Port& port);
  void Watch();
  void EndWait(Status status, std::string body);
  void Abandon();
  void Upgrade();
  void Reply(Status status, std::string_view type, std::string body);
  // The web package's file, or 404 in a build without it.
  void ReplyAsset(std::string_view type, std::string_view content);
  void ReplyJson(Status status, std::string body) {
    Reply(status, "application/json", std::move(body));
  }
  auto& Deadline() { return boost::beast::get_lowest_layer(stream_); }

  ConnectionCount counted_;
  Stream stream_;
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
  // A zero or tare under way: withdrawn when the client hangs up before it went out.
  std::shared_ptr<qel::CommandTicket> ticket_;
  std::optional<std::pair<Status, std::string>> answer_;
};

}  // namespace qeld
