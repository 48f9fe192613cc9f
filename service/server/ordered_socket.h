// The socket under a WebSocket session. Every write to it, Beast's own (the handshake's
// answer, pings, pongs, the close frame) and the session's ready-made message frames, goes
// out whole and in the order asked, so no two ever interleave on the wire. A message frame
// goes straight to the kernel when nothing is waiting, with no asynchronous operation: that
// is what a fan-out to many clients costs per client.
#pragma once

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qeld {

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;

class OrderedSocket {
 public:
  using executor_type = tcp::socket::executor_type;

  explicit OrderedSocket(tcp::socket&& socket);
  OrderedSocket(const OrderedSocket&) = delete;
  OrderedSocket& operator=(const OrderedSocket&) = delete;

  executor_type get_executor() noexcept { return socket_.get_executor(); }
  tcp::socket& next_layer() { return socket_; }

  template <class MutableBuffers, class Handler>
  auto async_read_some(const MutableBuffers& buffers, Handler&& handler) {
    return socket_.async_read_some(buffers, std::forward<Handler>(handler));
  }

  // Beast's writes: queued behind what already waits, then written whole.
  template <class ConstBuffers, class Handler>
  auto async_write_some(const ConstBuffers& buffers, Handler&& handler) {
    return net::async_initiate<Handler, void(beast::error_code, std::size_t)>(
        [this](auto&& done, const ConstBuffers& data) {
          using Done = std::decay_t<decltype(done)>;
          auto shared = std::make_shared<Done>(std::forward<decltype(done)>(done));
          Job job;
          job.buffers.assign(net::buffer_sequence_begin(data), net::buffer_sequence_end(data));
          // Never run from inside the initiating call: posted, as Asio's own operations do.
          job.done = [shared, executor = get_executor()](beast::error_code ec, std::size_t n) {
            net::post(executor, beast::bind_front_handler(std::move(*shared), ec, n));
          };
          Enqueue(std::move(job));
        },
        handler, buffers);
  }

  // From the handshake's completion on, Beast's close frame ends the session's messages.
  void Opened() { open_ = true; }
  // One whole WebSocket frame, shared between clients. Dropped once the connection failed or
  // a close frame went out.
  void Send(std::shared_ptr<const std::string> frame);
  // Message frames not yet wholly written.
  std::size_t waiting() const { return messages_waiting_; }
  bool failed() const { return failed_; }
  void Close();

 private:
  struct Job {
    std::vector<net::const_buffer> buffers;
    std::shared_ptr<const std::string> frame;  // a message; kept alive while written
    std::function<void(beast::error_code, std::size_t)> done;  // Beast's writes only
  };

  void Enqueue(Job job);
  void WriteNext();
  void Finish(Job& job, beast::error_code ec, std::size_t written);
  bool IsCloseFrame(const Job& job) const;

  tcp::socket socket_;
  std::deque<Job> jobs_;
  bool writing_ = false;
  bool open_ = false;
  bool closing_ = false;
  bool failed_ = false;
  std::size_t messages_waiting_ = 0;
  // Writes in flight hold a weak reference: the socket may go before they complete.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

// Beast's closing handshake ends with the TCP socket's own teardown.
void teardown(beast::role_type role, OrderedSocket& socket, beast::error_code& ec);

template <class TeardownHandler>
void async_teardown(beast::role_type role, OrderedSocket& socket, TeardownHandler&& handler) {
  beast::websocket::async_teardown(role, socket.next_layer(),
                                   std::forward<TeardownHandler>(handler));
}

}  // namespace qeld
