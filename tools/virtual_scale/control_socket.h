// The scale's control channel beside stdin: a Unix socket that takes the same commands, one
// per line, and answers each with its own line on the connection that sent it. A scale in the
// background is driven through it without holding its stdin open (no FIFO needed), and
// `--send PATH COMMAND` is its client.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vscale {

class ControlSocket {
 public:
  // Runs one command line and gives its answer ("ok" or "error: ...").
  using Runner = std::function<std::string(std::string_view line)>;

  // Listens at `path`. A socket left there by an earlier run is replaced; anything else at
  // `path` is kept and refused. No value, with `error` set, when it cannot listen.
  static std::optional<ControlSocket> Listen(const std::string& path, std::string& error);

  ControlSocket(ControlSocket&& other) noexcept;
  ControlSocket& operator=(ControlSocket&& other) noexcept;
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;
  // Closes every connection and removes the socket's path.
  ~ControlSocket();

  // Takes the clients waiting to connect and runs the complete lines each has sent, without
  // waiting for anything.
  void Poll(const Runner& run);

 private:
  struct Client {
    int fd;
    std::string input;
  };

  ControlSocket(int listener, std::string path) : listener_(listener), path_(std::move(path)) {}
  void Close();
  void Accept();
  // False once the client is gone or sent more than a command line can be.
  bool Serve(Client& client, const Runner& run);

  int listener_ = -1;
  std::string path_;
  std::vector<Client> clients_;
};

// Sends `line` to the scale listening at `path` and returns its answer line. No value, with
// `error` set, when the scale cannot be reached or does not answer within a few seconds.
std::optional<std::string> SendCommand(const std::string& path, std::string_view line,
                                       std::string& error);

}  // namespace vscale
