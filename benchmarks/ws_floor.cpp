// The least a program can do to deliver a scale's changes over WebSocket, as the service's
// benchmark peer: one thread and epoll; the port's bytes split and decoded with the driver's
// protocol row; stability by the same time rule; on each change one text frame built once and
// sent to every client with one send() each. A client whose socket does not take the whole
// frame at once is dropped. Prints "listening on http://127.0.0.1:PORT" when ready.
// Usage: qel_ws_floor DEVICE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "protocol.h"

namespace {

constexpr std::int64_t kStableNs = 500'000'000;

std::int64_t Now(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

int OpenPort(const char* device) {
  const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  cfsetispeed(&tio, B9600);  // the driver's line: 9600 8N1
  cfsetospeed(&tio, B9600);
  tio.c_cflag |= CLOCAL | CREAD;
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

int Listen(std::uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), size) != 0 || listen(fd, 1024) != 0) return -1;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  port = ntohs(addr.sin_port);
  return fd;
}

// The 101 answer to a complete upgrade request; empty when it has no key.
std::string Handshake(const std::string& request) {
  const char* name = "Sec-WebSocket-Key:";
  std::size_t at = request.find(name);
  if (at == std::string::npos) at = request.find("sec-websocket-key:");
  if (at == std::string::npos) return "";
  at = request.find_first_not_of(' ', at + std::strlen(name));
  const std::string key =
      request.substr(at, request.find("\r\n", at) - at) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char hash[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(key.data()), key.size(), hash);
  unsigned char accept[32];
  EVP_EncodeBlock(accept, hash, SHA_DIGEST_LENGTH);
  return std::string("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n") +
         "Connection: Upgrade\r\nSec-WebSocket-Accept: " + reinterpret_cast<char*>(accept) +
         "\r\n\r\n";
}

struct Client {
  std::string request;  // until the handshake is done
  bool open = false;
};

class Floor {
 public:
  Floor(int epoll, int port_fd) : epoll_(epoll), port_fd_(port_fd) { Compose(); }

  void Accept(int listener) {
    int fd;
    while ((fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      epoll_event event{EPOLLIN, {}};
      event.data.fd = fd;
      epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
      clients_[fd] = Client{};
    }
  }

  void FromClient(int fd) {
    const auto it = clients_.find(fd);
    if (it == clients_.end()) return;  // dropped earlier in the same wake
    Client& client = it->second;
    char data[4096];
    const ssize_t n = recv(fd, data, sizeof data, 0);
    if (n <= 0) return Drop(fd);
    if (client.open) return;  // what a subscriber sends is dropped
    client.request.append(data, static_cast<std::size_t>(n));
    if (client.request.find("\r\n\r\n") == std::string::npos) return;
    const std::string answer = Handshake(client.request);
    if (answer.empty() || send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) return Drop(fd);
    client.open = true;
    client.request = std::string();
    SendTo(fd, frame_);
  }

  void FromPort() {
    char data[256];
    const ssize_t n = read(port_fd_, data, sizeof data);
    if (n <= 0) return;
    pending_.append(data, static_cast<std::size_t>(n));
    const qel::Protocol& protocol = qel::DefaultProtocol();
    std::size_t start = 0;
    std::string_view frame;
    for (std::size_t used; (used = protocol.split(std::string_view(pending_).substr(start), frame));
         start += used) {
      if (!frame.empty()) OnFrame(protocol.decode(frame));
    }
    pending_.erase(0, start);
  }

 private:
  void OnFrame(const qel::ScaleFrame& decoded) {
    const bool ok = decoded.kind == qel::ScaleFrame::Kind::kWeight && !decoded.value.empty();
    const std::string value = ok ? decoded.value : "";
    const std::int64_t now = Now(CLOCK_MONOTONIC);
    if (value != value_) since_ = now;
    const bool stable = ok && now - since_ >= kStableNs;
    if (value == value_ && stable == stable_) return;
    value_ = value;
    stable_ = stable;
    Compose();
    for (auto& [fd, client] : clients_) {
      if (client.open) SendTo(fd, frame_);
    }
    for (const int fd : gone_) Drop(fd);
    gone_.clear();
  }

  // The message as the service words it, and its frame: FIN, text, the length, no mask.
  void Compose() {
    const std::int64_t at = Now(CLOCK_REALTIME) / 1'000'000;
    const time_t seconds = at / 1000;
    tm utc{};
    gmtime_r(&seconds, &utc);
    char when[32], json[256];
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &utc);
    const char* v = value_.empty() ? "null" : value_.c_str();
    const int size = std::snprintf(
        json, sizeof json,
        R"({"port":"scale","ok":%s,"value":%s,"text":"%s","stable":%s,"at":"%s.%03dZ"%s})",
        value_.empty() ? "false" : "true", v, value_.empty() ? "0" : v, stable_ ? "true" : "false",
        when, static_cast<int>(at % 1000),
        value_.empty() ? R"(,"error":"no-reading","message":null)" : "");
    frame_.assign({static_cast<char>(0x81), static_cast<char>(size < 126 ? size : 126)});
    if (size >= 126) frame_ += {static_cast<char>(size >> 8), static_cast<char>(size & 0xFF)};
    frame_.append(json, static_cast<std::size_t>(size));
  }

  void SendTo(int fd, const std::string& bytes) {
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n != static_cast<ssize_t>(bytes.size())) gone_.push_back(fd);
  }

  void Drop(int fd) {
    if (clients_.erase(fd) > 0) close(fd);
  }

  int epoll_;
  int port_fd_;
  std::unordered_map<int, Client> clients_;
  std::vector<int> gone_;
  std::string pending_, frame_, value_;
  bool stable_ = false;
  std::int64_t since_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qel_ws_floor DEVICE\n");
    return 2;
  }
  const int port_fd = OpenPort(argv[1]);
  std::uint16_t tcp_port = 0;
  const int listener = Listen(tcp_port);
  if (port_fd < 0 || listener < 0) return 1;
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  for (const int fd : {port_fd, listener}) {
    epoll_event event{EPOLLIN, {}};
    event.data.fd = fd;
    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
  }
  std::printf("listening on http://127.0.0.1:%u\n", tcp_port);
  std::fflush(stdout);
  Floor floor(epoll, port_fd);
  epoll_event events[64];
  for (;;) {
    const int n = epoll_wait(epoll, events, 64, -1);
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == port_fd) {
        floor.FromPort();
      } else if (fd == listener) {
        floor.Accept(listener);
      } else {
        floor.FromClient(fd);
      }
    }
  }
}
