#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "control_socket.h"

namespace vscale {
namespace {

constexpr std::size_t kMostClients = 16;
constexpr std::size_t kLongestLine = 4096;
constexpr int kAnswerTimeoutMs = 5000;

std::string Why(const std::string& what) { return what + ": " + std::strerror(errno); }

// The address of `path`; false when the path is too long for one.
bool Address(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The first line `fd` sends, without its line end, waiting up to the answer timeout.
std::optional<std::string> ReadLine(int fd, std::string& error) {
  std::string text;
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, kAnswerTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      error = ready == 0 ? "no answer within 5 s" : Why("poll");
      return std::nullopt;
    }
    char data[256];
    const ssize_t n = recv(fd, data, sizeof data, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n == 0 ? "the scale closed the connection without an answer" : Why("recv");
      return std::nullopt;
    }
    text.append(data, static_cast<std::size_t>(n));
    const std::size_t end = text.find('\n');
    if (end != std::string::npos) return text.substr(0, end);
  }
}

// Whether a program accepts connections at `path`.
bool Listening(const std::string& path) {
  sockaddr_un address;
  if (!Address(path, address)) return false;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool taken = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return taken;
}

}  // namespace

std::optional<ControlSocket> ControlSocket::Listen(const std::string& path, std::string& error) {
  sockaddr_un address;
  if (!Address(path, address)) {
    error = path + ": not a usable socket path (at most " +
            std::to_string(sizeof address.sun_path - 1) + " bytes)";
    return std::nullopt;
  }
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      error = path + ": exists and is not a socket";
      return std::nullopt;
    }
    if (Listening(path)) {
      error = path + ": another scale listens there";
      return std::nullopt;
    }
    unlink(path.c_str());  // an earlier run's socket, nobody listens there any more
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = Why("socket");
    return std::nullopt;
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, static_cast<int>(kMostClients)) != 0) {
    error = Why(path);
    close(fd);
    return std::nullopt;
  }
  return ControlSocket(fd, path);
}

ControlSocket::ControlSocket(ControlSocket&& other) noexcept
    : listener_(std::exchange(other.listener_, -1)),
      path_(std::move(other.path_)),
      clients_(std::move(other.clients_)) {
  other.clients_.clear();
}

ControlSocket& ControlSocket::operator=(ControlSocket&& other) noexcept {
  if (this == &other) return *this;
  Close();
  listener_ = std::exchange(other.listener_, -1);
  path_ = std::move(other.path_);
  clients_ = std::move(other.clients_);
  other.clients_.clear();
  return *this;
}

ControlSocket::~ControlSocket() { Close(); }

void ControlSocket::Close() {
  for (const Client& client : clients_) close(client.fd);
  clients_.clear();
  if (listener_ < 0) return;
  close(listener_);
  listener_ = -1;
  unlink(path_.c_str());
}

void ControlSocket::Poll(const Runner& run) {
  Accept();
  for (std::size_t i = 0; i < clients_.size();) {
    if (Serve(clients_[i], run)) {
      ++i;
      continue;
    }
    close(clients_[i].fd);
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

// More clients than that wait in the listen queue until one leaves.
void ControlSocket::Accept() {
  while (clients_.size() < kMostClients) {
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    clients_.push_back({fd, {}});
  }
}

bool ControlSocket::Serve(Client& client, const Runner& run) {
  char data[512];
  ssize_t n;
  while ((n = recv(client.fd, data, sizeof data, 0)) > 0) {
    client.input.append(data, static_cast<std::size_t>(n));
  }
  const bool open = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
  std::size_t end;
  while ((end = client.input.find('\n')) != std::string::npos) {
    std::string line = client.input.substr(0, end);
    client.input.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!WriteAll(client.fd, run(line) + "\n")) return false;
  }
  return open && client.input.size() <= kLongestLine;
}

std::optional<std::string> SendCommand(const std::string& path, std::string_view line,
                                       std::string& error) {
  sockaddr_un address;
  if (!Address(path, address)) {
    error = path + ": not a usable socket path";
    return std::nullopt;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = Why("socket");
    return std::nullopt;
  }
  std::optional<std::string> answer;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = Why(path);
  } else if (!WriteAll(fd, std::string(line) + "\n")) {
    error = Why(path);
  } else {
    answer = ReadLine(fd, error);
  }
  close(fd);
  return answer;
}

}  // namespace vscale
