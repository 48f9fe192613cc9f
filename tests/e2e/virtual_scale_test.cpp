// The virtual scale must behave like a scale on a real line behind a real port, or the
// Wine tests (whose serial layer does not flush at open) would read stale frames.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
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

}  // namespace
}  // namespace qel::e2e
