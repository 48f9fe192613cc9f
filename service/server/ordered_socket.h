// The stream under a WebSocket session: a TCP socket, or a TLS stream over one. Every write to
// it, Beast's own (the handshake's answer, pings, pongs, the close frame) and the session's
// ready-made message frames, goes out whole and in the order asked, so no two ever interleave
// on the wire. Over plain TCP a message frame goes straight to the kernel when nothing is
// waiting, with no asynchronous operation: that is what a fan-out to many clients costs per
// client. Over TLS every write takes the stream's asynchronous path, which encrypts it.
#pragma once

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace qeld {

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;

// The TCP socket at the bottom of a stream.
inline tcp::socket& RawSocket(tcp::socket& socket) { return socket; }
inline tcp::socket& RawSocket(beast::tcp_stream& stream) { return stream.socket(); }

template <class NextLayer>
class OrderedSocket {
 public:
  using executor_type = typename NextLayer::executor_type;

  explicit OrderedSocket(NextLayer&& next) : next_(std::make_shared<NextLayer>(std::move(next))) {
    beast::error_code ignored;
    // Message frames are tried at once; a full send buffer must say so instead of blocking.
    if constexpr (kWritesNow) RawSocket(*next_).non_blocking(true, ignored);
  }
  OrderedSocket(const OrderedSocket&) = delete;
  OrderedSocket& operator=(const OrderedSocket&) = delete;

  executor_type get_executor() noexcept { return next_->get_executor(); }
  NextLayer& next_layer() { return *next_; }

  template <class MutableBuffers, class Handler>
  auto async_read_some(const MutableBuffers& buffers, Handler&& handler) {
    return next_->async_read_some(buffers, std::forward<Handler>(handler));
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
  void Send(const std::shared_ptr<const std::string>& frame);
  // Message frames not yet wholly written.
  std::size_t waiting() const { return messages_waiting_; }
  bool failed() const { return failed_; }
  void Close();

 private:
  // Only a plain socket takes a frame synchronously: TLS cannot take back a record that the
  // kernel took only in part.
  static constexpr bool kWritesNow = std::is_same_v<NextLayer, tcp::socket>;

  struct Job {
    std::vector<net::const_buffer> buffers;
    std::shared_ptr<const std::string> frame;  // a message; kept alive while written
    std::function<void(beast::error_code, std::size_t)> done;  // Beast's writes only
  };

  std::size_t WriteNow(const std::string& frame);
  void Enqueue(Job job);
  void WriteNext();
  void Finish(Job& job, beast::error_code ec, std::size_t written);
  bool IsCloseFrame(const Job& job) const;

  // Shared with the writes in flight: a TLS stream must outlive its operations, and the
  // session may go first.
  std::shared_ptr<NextLayer> next_;
  std::deque<Job> jobs_;
  bool writing_ = false;
  bool open_ = false;
  bool closing_ = false;
  bool failed_ = false;
  std::size_t messages_waiting_ = 0;
  // Writes in flight hold a weak reference: the socket may go before they complete.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

// The frame is shared only when it has to wait: one written at once costs no reference.
template <class NextLayer>
void OrderedSocket<NextLayer>::Send(const std::shared_ptr<const std::string>& frame) {
  if (failed_ || closing_) return;
  std::size_t sent = 0;
  if constexpr (kWritesNow) {
    if (!writing_ && jobs_.empty()) {
      sent = WriteNow(*frame);
      if (failed_ || sent == frame->size()) return;
    }
  }
  Job job;
  job.buffers.push_back(net::buffer(*frame) + sent);
  job.frame = frame;
  ++messages_waiting_;
  Enqueue(std::move(job));
}

// What the kernel took of the frame at once; closes on a failure other than a full buffer.
template <class NextLayer>
std::size_t OrderedSocket<NextLayer>::WriteNow(const std::string& frame) {
  beast::error_code ec;
  const std::size_t sent = RawSocket(*next_).write_some(net::buffer(frame), ec);
  if (ec && ec != net::error::would_block && ec != net::error::try_again) Close();
  return sent;
}

template <class NextLayer>
void OrderedSocket<NextLayer>::Enqueue(Job job) {
  if (open_ && IsCloseFrame(job)) closing_ = true;
  jobs_.push_back(std::move(job));
  if (!writing_) WriteNext();
}

template <class NextLayer>
bool OrderedSocket<NextLayer>::IsCloseFrame(const Job& job) const {
  if (job.frame) return false;
  for (const net::const_buffer& buffer : job.buffers) {
    if (buffer.size() == 0) continue;
    // FIN and the close opcode in the first byte.
    return (*static_cast<const unsigned char*>(buffer.data()) & 0x8F) == 0x88;
  }
  return false;
}

template <class NextLayer>
void OrderedSocket<NextLayer>::WriteNext() {
  if (jobs_.empty()) return;
  writing_ = true;
  Job job = std::move(jobs_.front());
  jobs_.pop_front();
  if (failed_) {
    Finish(job, net::error::broken_pipe, 0);
    return;
  }
  auto buffers = job.buffers;
  net::async_write(*next_, buffers,
                   [this, alive = std::weak_ptr<char>(alive_), next = next_, job = std::move(job)](
                       beast::error_code ec, std::size_t written) mutable {
                     if (alive.expired()) return;
                     Finish(job, ec, written);
                   });
}

template <class NextLayer>
void OrderedSocket<NextLayer>::Finish(Job& job, beast::error_code ec, std::size_t written) {
  writing_ = false;
  if (job.frame) --messages_waiting_;
  if (ec && !failed_) Close();
  // Beast learns of its write's end only now, so its next write queues behind this one.
  if (job.done) job.done(ec, written);
  WriteNext();
}

template <class NextLayer>
void OrderedSocket<NextLayer>::Close() {
  failed_ = true;
  beast::error_code ignored;
  tcp::socket& socket = RawSocket(beast::get_lowest_layer(*next_));
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
}

// Beast's closing handshake ends with the next layer's own teardown (TLS: its close_notify).
template <class NextLayer>
void teardown(beast::role_type role, OrderedSocket<NextLayer>& socket, beast::error_code& ec) {
  using beast::websocket::teardown;
  teardown(role, socket.next_layer(), ec);
}

template <class NextLayer, class TeardownHandler>
void async_teardown(beast::role_type role, OrderedSocket<NextLayer>& socket,
                    TeardownHandler&& handler) {
  using beast::websocket::async_teardown;
  async_teardown(role, socket.next_layer(), std::forward<TeardownHandler>(handler));
}

}  // namespace qeld
