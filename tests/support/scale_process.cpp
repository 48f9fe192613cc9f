#include "scale_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>

namespace qel::e2e {

ScaleProcess::ScaleProcess(const std::vector<std::string>& args) {
  int in_pipe[2];
  int out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> argv_text{QEL_VIRTUAL_SCALE_PATH};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) {
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1]}) close(fd);
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    // A crashed test must not leave its scale running.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(in_pipe[0], STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  to_scale_ = in_pipe[1];
  from_scale_ = out_pipe[0];
  port_ = ReadLine(5000);
  if (port_.empty()) {
    Stop();
    throw std::runtime_error("virtual_scale printed no port");
  }
}

ScaleProcess::~ScaleProcess() { Stop(); }

void ScaleProcess::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (to_scale_ >= 0) close(std::exchange(to_scale_, -1));
  if (from_scale_ >= 0) close(std::exchange(from_scale_, -1));
}

std::string ScaleProcess::Command(const std::string& line) {
  const std::string text = line + "\n";
  if (write(to_scale_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    return "error: write failed";
  }
  return ReadLine(5000);
}

bool ScaleProcess::WaitForExit(int timeout_ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < until) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string ScaleProcess::ReadLine(int timeout_ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd pfd{from_scale_, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    char data[256];
    const ssize_t n = read(from_scale_, data, sizeof data);
    if (n <= 0) return {};
    pending_.append(data, static_cast<std::size_t>(n));
  }
}

}  // namespace qel::e2e
