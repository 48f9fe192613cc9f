// The virtual scale must behave like a scale on a real line behind a real port, or the
// Wine tests (whose serial layer does not flush at open) would read stale frames.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "scale_process.h"

namespace qel::e2e {
namespace {

// Opens the port as a plain client would, without discarding anything queued, and reads
// after `wait`. A busy machine may start the scale's output late: until `expected` shows up
// (within a few seconds), the port stays held and reading goes on, up to `most` bytes.
std::string ReadFor(const std::string& port, std::chrono::milliseconds wait, std::size_t most,
                    const std::string& expected = "") {
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return "open failed";
  std::this_thread::sleep_for(wait);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::string text;
  for (;;) {
    std::string chunk(most - text.size(), '\0');
    const ssize_t n = read(fd, chunk.data(), chunk.size());
    if (n > 0) text.append(chunk.data(), static_cast<std::size_t>(n));
    if (text.find(expected) != std::string::npos || text.size() >= most ||
        std::chrono::steady_clock::now() > deadline) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  close(fd);
  return text;
}

TEST(VirtualScale, SendsOnlyWhilePortIsHeldAndNothingOutlivesAClose) {
  using Clock = std::chrono::steady_clock;
  ScaleProcess scale({"--weight", "1.234"});
  // The first client takes a little of what arrived and leaves the rest unread.
  const std::string first = ReadFor(scale.port(), std::chrono::milliseconds(200), 16, "=432.100");
  EXPECT_NE(first.find("=432.100"), std::string::npos) << first;

  ASSERT_EQ(scale.Command("weight 2.5"), "ok");
  // Nobody holds the port for a second: a scale that sent meanwhile would leave about a
  // thousand bytes queued.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));

  // About a byte a millisecond while held, all of them the new weight and none left over.
  // The bound follows the time the port was really held, which a busy machine stretches.
  const Clock::time_point opened = Clock::now();
  const std::string second =
      ReadFor(scale.port(), std::chrono::milliseconds(100), 8192, "=005.200");
  const auto held =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - opened).count();
  EXPECT_EQ(second.find("432.100"), std::string::npos) << second;
  EXPECT_NE(second.find("=005.200"), std::string::npos) << second;
  EXPECT_LT(second.size(), static_cast<std::size_t>(2 * held + 100))
      << "bytes were sent while nobody held the port (held " << held << " ms)";
}

// A start that fails after the pseudo-terminal exists must not leave the symlink: it would
// point at a terminal number that the system hands to the next program that asks.
TEST(VirtualScale, FailedStartLeavesNoSymlink) {
  char dir[] = "/tmp/qel-vscale-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string link = std::string(dir) + "/scale";
  const std::string timestamps = std::string(dir) + "/missing/timestamps";
  EXPECT_THROW(ScaleProcess scale({"--symlink", link, "--timestamps", timestamps}),
               std::runtime_error);
  struct stat info {};
  EXPECT_NE(lstat(link.c_str(), &info), 0) << link << " was left behind";
  unlink(link.c_str());
  rmdir(dir);
}

// What `virtual_scale --send SOCKET COMMAND` printed, and its exit status.
struct Sent {
  std::string output;
  int status;
};
Sent Send(const std::string& socket, const std::string& command) {
  const std::string line =
      std::string(QEL_VIRTUAL_SCALE_PATH) + " --send " + socket + " " + command + " 2>&1";
  FILE* pipe = popen(line.c_str(), "r");
  if (pipe == nullptr) return {"popen failed", -1};
  std::string output;
  char data[256];
  std::size_t n;
  while ((n = std::fread(data, 1, sizeof data, pipe)) > 0) output.append(data, n);
  const int status = pclose(pipe);
  return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

struct TempDir {
  TempDir() {
    if (mkdtemp(path) == nullptr) throw std::runtime_error("mkdtemp failed");
  }
  ~TempDir() { std::system(("rm -rf " + std::string(path)).c_str()); }
  std::string operator/(const std::string& name) const { return std::string(path) + "/" + name; }
  char path[32] = "/tmp/qel-vscale-ctl-XXXXXX";
};

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

// A scale in the background, its stdin left alone: the control socket changes what the port
// reads, an error is told apart by the exit status, and "quit" ends the scale and removes
// the socket, after which --send says the scale is unreachable.
TEST(VirtualScale, ControlSocketDrivesTheScaleWithoutItsStdin) {
  TempDir dir;
  const std::string control = dir / "scale.ctl";
  ScaleProcess scale({"--weight", "1.234", "--control", control});
  EXPECT_NE(ReadFor(scale.port(), std::chrono::milliseconds(100), 64, "=432.100").find("=432.100"),
            std::string::npos);

  const Sent weight = Send(control, "weight 2.5");
  EXPECT_EQ(weight.output, "ok\n");
  EXPECT_EQ(weight.status, 0);
  const std::string read = ReadFor(scale.port(), std::chrono::milliseconds(100), 256, "=005.200");
  EXPECT_NE(read.find("=005.200"), std::string::npos) << read;

  const Sent refused = Send(control, "weight heavy");
  EXPECT_EQ(refused.output.rfind("error: ", 0), 0u) << refused.output;
  EXPECT_EQ(refused.status, 1);
  // stdin still works beside the socket.
  EXPECT_EQ(scale.Command("motion on"), "ok");

  EXPECT_EQ(Send(control, "quit").status, 0);
  EXPECT_TRUE(scale.WaitForExit(5000));
  EXPECT_FALSE(Exists(control)) << control << " was left behind";
  const Sent gone = Send(control, "weight 1");
  EXPECT_EQ(gone.status, 2) << gone.output;
}

// --control replaces only a socket an earlier run left behind; a file at that path is never
// removed, nor a socket another scale still listens on.
TEST(VirtualScale, ControlSocketReplacesOnlyAStaleSocket) {
  TempDir dir;
  const std::string file = dir / "notes";
  std::ofstream(file) << "keep me\n";
  EXPECT_THROW(ScaleProcess scale({"--control", file}), std::runtime_error);
  std::stringstream kept;
  kept << std::ifstream(file).rdbuf();
  EXPECT_EQ(kept.str(), "keep me\n");

  // A socket whose program ended without removing it.
  const std::string stale = dir / "stale.ctl";
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, stale.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  close(fd);
  ScaleProcess first({"--control", stale});
  EXPECT_EQ(Send(stale, "weight 2").output, "ok\n");

  EXPECT_THROW(ScaleProcess second({"--control", stale}), std::runtime_error);
  EXPECT_EQ(Send(stale, "weight 3").output, "ok\n") << "the first scale lost its socket";
}

}  // namespace
}  // namespace qel::e2e
