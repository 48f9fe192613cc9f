#include "ordered_socket.h"

#include <boost/asio/write.hpp>

namespace qeld {

OrderedSocket::OrderedSocket(tcp::socket&& socket) : socket_(std::move(socket)) {
  beast::error_code ignored;
  // Message frames are tried at once; a full send buffer must say so instead of blocking.
  socket_.non_blocking(true, ignored);
}

void OrderedSocket::Send(std::shared_ptr<const std::string> frame) {
  if (failed_ || closing_) return;
  std::size_t sent = 0;
  if (!writing_ && jobs_.empty()) {
    beast::error_code ec;
    sent = socket_.write_some(net::buffer(*frame), ec);
    if (ec && ec != net::error::would_block && ec != net::error::try_again) {
      Close();
      return;
    }
    if (sent == frame->size()) return;
  }
  Job job;
  job.buffers.push_back(net::buffer(*frame) + sent);
  job.frame = std::move(frame);
  ++messages_waiting_;
  Enqueue(std::move(job));
}

void OrderedSocket::Enqueue(Job job) {
  if (open_ && IsCloseFrame(job)) closing_ = true;
  jobs_.push_back(std::move(job));
  if (!writing_) WriteNext();
}

bool OrderedSocket::IsCloseFrame(const Job& job) const {
  if (job.frame) return false;
  for (const net::const_buffer& buffer : job.buffers) {
    if (buffer.size() == 0) continue;
    // FIN and the close opcode in the first byte.
    return (*static_cast<const unsigned char*>(buffer.data()) & 0x8F) == 0x88;
  }
  return false;
}

void OrderedSocket::WriteNext() {
  if (jobs_.empty()) return;
  writing_ = true;
  Job job = std::move(jobs_.front());
  jobs_.pop_front();
  if (failed_) {
    Finish(job, net::error::broken_pipe, 0);
    return;
  }
  auto buffers = job.buffers;
  net::async_write(socket_, buffers,
                   [this, alive = std::weak_ptr<char>(alive_), job = std::move(job)](
                       beast::error_code ec, std::size_t written) mutable {
                     if (alive.expired()) return;
                     Finish(job, ec, written);
                   });
}

void OrderedSocket::Finish(Job& job, beast::error_code ec, std::size_t written) {
  writing_ = false;
  if (job.frame) --messages_waiting_;
  if (ec && !failed_) Close();
  // Beast learns of its write's end only now, so its next write queues behind this one.
  if (job.done) job.done(ec, written);
  WriteNext();
}

void OrderedSocket::Close() {
  failed_ = true;
  beast::error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

void teardown(beast::role_type role, OrderedSocket& socket, beast::error_code& ec) {
  beast::websocket::teardown(role, socket.next_layer(), ec);
}

}  // namespace qeld
