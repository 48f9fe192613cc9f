// The termios back end on pseudo-terminals the test drives itself.
#include "serial_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "module_api.h"

namespace qel::posix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Only "not blocked": a busy 2-core machine stretches any tighter bound. The latencies
// themselves are figures for benchmarks/, not assertions.
constexpr long kNotBlockedMs = 3000;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

TEST(DevicePath, MapsComNamesAndPaths) {
  EXPECT_EQ(DevicePathFor("COM1:"), "/dev/ttyS0");
  EXPECT_EQ(DevicePathFor("com3:"), "/dev/ttyS2");
  EXPECT_EQ(DevicePathFor("Com12:"), "/dev/ttyS11");
  EXPECT_EQ(DevicePathFor("/dev/pts/5:"), "/dev/pts/5");
  EXPECT_EQ(DevicePathFor("/dev/serial/by-id/usb-x:"), "/dev/serial/by-id/usb-x");
  // Only the colon the driver adds is removed.
  EXPECT_EQ(DevicePathFor("/tmp/a::"), "/tmp/a:");
  // The device namespace form, which COM10 and above take.
  EXPECT_EQ(DevicePathFor("\\\\.\\COM12"), "/dev/ttyS11");
  EXPECT_EQ(DevicePathFor("\\\\.\\com3"), "/dev/ttyS2");
  for (const char* refused :
       {"COM0:", "COM:", "COM01:", "COM1x:", "COMA:", "ttyS0:", ":", "", "COM3::", "COM99999999:",
        " COM1:", "LPT1:", "\\\\.\\COM12:", "\\\\.\\", "\\\\.\\/dev/ttyS0", "\\\\?\\COM12"}) {
    EXPECT_FALSE(DevicePathFor(refused).has_value()) << refused;
  }
}

// A pseudo-terminal whose master side the test holds, opened through the back end.
class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    char name[128];
    ASSERT_EQ(ptsname_r(master_, name, sizeof name), 0);
    path_ = name;
  }
  void TearDown() override {
    if (handle_ != kInvalidPortHandle) serial().Close(handle_);
    if (master_ >= 0) close(master_);
  }

  SerialApi& serial() { return PosixSerialApi(); }

  // Opens and configures the slave the way the driver does.
  void OpenAsDriver() {
    const OpenOutcome opened = serial().Open(path_ + ":");
    ASSERT_NE(opened.handle, kInvalidPortHandle) << "errno " << opened.code;
    handle_ = opened.handle;
    ASSERT_TRUE(serial().SetState(handle_, ModuleAPI::MakeLineSettings(9600)).ok);
    ASSERT_TRUE(serial().SetTimeouts(handle_, ModuleAPI::MakeTimeouts(9600)).ok);
  }

  void SendFromDevice(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  ReadOutcome Read255() {
    buffer_.assign(256, 0);
    return serial().Read(handle_, buffer_.data(), 255);
  }

  int master_ = -1;
  std::string path_;
  PortHandle handle_ = kInvalidPortHandle;
  std::vector<std::uint8_t> buffer_;
};

TEST_F(PtyPort, LineIsRaw9600With8N1AndNoFlowControl) {
  OpenAsDriver();
  termios tio{};
  ASSERT_EQ(tcgetattr(static_cast<int>(handle_), &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), B9600);
  EXPECT_EQ(cfgetospeed(&tio), B9600);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
}

// A pseudo-terminal keeps neither the data bits nor the parity, but keeps the input flags a
// 7-bit or parity line wants; the master sees them (the virtual scale reads the framing so).
TEST_F(PtyPort, FramingReachesAPseudoTerminalThroughItsInputFlags) {
  OpenAsDriver();
  struct Case {
    std::uint8_t byte_size, parity, stop_bits;
    tcflag_t iflag, cflag;  // of ISTRIP | INPCK, of PARODD | CSTOPB
  };
  const Case cases[] = {
      {7, 2, 0, ISTRIP | INPCK, 0},       // 7E1
      {7, 1, 0, ISTRIP | INPCK, PARODD},  // 7O1
      {8, 2, 0, INPCK, 0},                // 8E1
      {7, 0, 2, ISTRIP, CSTOPB},          // 7N2
      {8, 0, 0, 0, 0},                    // 8N1 clears what the lines before left
      {7, 2, 0, ISTRIP | INPCK, 0},
      {7, 2, 0, ISTRIP | INPCK, 0},  // the same line again: nothing changes
      {8, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.byte_size) + " " + std::to_string(c.parity) + " " +
                 std::to_string(c.stop_bits));
    LineSettings settings = ModuleAPI::MakeLineSettings(9600);
    settings.ByteSize = c.byte_size;
    settings.Parity = c.parity;
    settings.StopBits = c.stop_bits;
    // Setting a line whose only news is what the terminal drops is no failure either.
    ASSERT_TRUE(serial().SetState(handle_, settings).ok);
    termios tio{};
    ASSERT_EQ(tcgetattr(master_, &tio), 0);
    EXPECT_EQ(tio.c_iflag & (ISTRIP | INPCK | IGNPAR | PARMRK), c.iflag);
    EXPECT_EQ(tio.c_cflag & (PARODD | CSTOPB), c.cflag);
  }
}

TEST_F(PtyPort, OtherLineSettingsReachTheLineAndUnknownOnesAreRefused) {
  OpenAsDriver();
  const int fd = static_cast<int>(handle_);
  LineSettings settings = ModuleAPI::MakeLineSettings(19200);
  settings.ByteSize = 7;
  settings.Parity = 2;    // EVENPARITY
  settings.StopBits = 2;  // TWOSTOPBITS
  settings.Flags |= DcbMask(kDcbOutxCtsFlow) | DcbMask(kDcbOutX);
  ASSERT_TRUE(serial().SetState(handle_, settings).ok);
  // A pseudo-terminal always keeps 8 data bits and parity off, whatever it is asked; the
  // other fields show.
  termios tio{};
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), B19200);
  EXPECT_EQ(cfgetospeed(&tio), B19200);
  EXPECT_EQ(tio.c_cflag & (PARODD | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB | CRTSCTS));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON));

  settings.Parity = 1;  // ODDPARITY
  settings.Flags =
      (settings.Flags & ~(DcbMask(kDcbOutxCtsFlow) | DcbMask(kDcbOutX))) | DcbMask(kDcbInX);
  ASSERT_TRUE(serial().SetState(handle_, settings).ok);
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  EXPECT_EQ(tio.c_cflag & (PARODD | CRTSCTS), static_cast<tcflag_t>(PARODD));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXOFF));

  // A value the line cannot take is refused as a whole: nothing of it reaches the line.
  struct Refused {
    const char* what;
    void (*spoil)(LineSettings&);
  };
  const Refused refused[] = {
      {"baud 12345", [](LineSettings& s) { s.BaudRate = 12345; }},
      {"9 data bits", [](LineSettings& s) { s.ByteSize = 9; }},
      {"mark parity", [](LineSettings& s) { s.Parity = 3; }},
      {"1.5 stop bits", [](LineSettings& s) { s.StopBits = 1; }},
  };
  for (const Refused& c : refused) {
    LineSettings bad = ModuleAPI::MakeLineSettings(9600);
    c.spoil(bad);
    const SysStatus status = serial().SetState(handle_, bad);
    EXPECT_FALSE(status.ok) << c.what;
    EXPECT_EQ(status.code, static_cast<std::uint32_t>(EINVAL)) << c.what;
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B19200) << c.what;
    EXPECT_EQ(tio.c_cflag & (PARODD | CSTOPB), static_cast<tcflag_t>(PARODD | CSTOPB)) << c.what;
  }
}

TEST_F(PtyPort, WaitingBytesReturnAtOnceAndAReadStopsAt255) {
  OpenAsDriver();
  SendFromDevice(std::string(300, 'x'));
  std::this_thread::sleep_for(milliseconds(20));
  const auto start = Clock::now();
  ReadOutcome first = Read255();
  EXPECT_LT(ElapsedMs(start), kNotBlockedMs);
  ASSERT_TRUE(first.status.ok);
  EXPECT_EQ(first.bytes_read, 255u);
  EXPECT_EQ(buffer_[255], 0) << "the last byte of the buffer is never written";
  // The rest stays queued for the next read.
  ReadOutcome second = Read255();
  ASSERT_TRUE(second.status.ok);
  EXPECT_EQ(second.bytes_read, 45u);
}

TEST_F(PtyPort, NothingReceivedIsSuccessAfterTheTotalTimeout) {
  OpenAsDriver();
  const auto start = Clock::now();
  const ReadOutcome read = Read255();
  const long elapsed = ElapsedMs(start);
  EXPECT_TRUE(read.status.ok);
  EXPECT_EQ(read.bytes_read, 0u);
  EXPECT_GE(elapsed, 255);  // 1 ms x 255 + 1 ms
  EXPECT_LT(elapsed, kNotBlockedMs);
}

TEST_F(PtyPort, AGapBetweenBytesEndsTheRead) {
  OpenAsDriver();
  std::thread device([this] {
    std::this_thread::sleep_for(milliseconds(30));
    SendFromDevice("=432.");
    std::this_thread::sleep_for(milliseconds(100));
    SendFromDevice("100");
  });
  const auto start = Clock::now();
  const ReadOutcome read = Read255();
  const long elapsed = ElapsedMs(start);
  device.join();
  ASSERT_TRUE(read.status.ok);
  EXPECT_EQ(read.bytes_read, 5u) << "the read waits for a first byte, then ends at the gap";
  EXPECT_GE(elapsed, 25);
}

TEST_F(PtyPort, InputFromBeforeTheOpenIsDiscarded) {
  // A reading must never come from before the call: open once so bytes can queue, then
  // let the device send while the port is closed.
  int early = open(path_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(early, 0);
  SendFromDevice("=432.100=432.100");
  close(early);
  SendFromDevice("=432.100=432.100");
  OpenAsDriver();
  const ReadOutcome read = Read255();
  EXPECT_TRUE(read.status.ok);
  EXPECT_EQ(read.bytes_read, 0u);
}

TEST_F(PtyPort, DeviceHangingUpDuringTheReadFailsItWithEio) {
  OpenAsDriver();
  std::thread device([this] {
    std::this_thread::sleep_for(milliseconds(20));
    close(master_);
    master_ = -1;
  });
  const auto start = Clock::now();
  const ReadOutcome read = Read255();
  device.join();
  EXPECT_LT(ElapsedMs(start), kNotBlockedMs) << "the hang-up ends the wait";
  EXPECT_FALSE(read.status.ok);
  EXPECT_EQ(read.status.code, static_cast<std::uint32_t>(EIO));
  EXPECT_EQ(read.bytes_read, 0u);
}

TEST_F(PtyPort, DeviceGoneBeforeTheReadFailsItEvenWithBytesQueued) {
  OpenAsDriver();
  SendFromDevice("=432.1");
  close(master_);
  master_ = -1;
  const ReadOutcome read = Read255();
  EXPECT_FALSE(read.status.ok);
  EXPECT_EQ(read.status.code, static_cast<std::uint32_t>(EIO));
  EXPECT_EQ(read.bytes_read, 0u) << "a failed read reports no bytes";
}

TEST_F(PtyPort, PortIsExclusiveUntilClosed) {
  OpenAsDriver();
  // Another holder through the same back end, as a second thread of the driver would be.
  const OpenOutcome second = serial().Open(path_ + ":");
  EXPECT_EQ(second.handle, kInvalidPortHandle);
  EXPECT_EQ(second.code, static_cast<std::uint32_t>(EBUSY));

  serial().Close(handle_);
  handle_ = kInvalidPortHandle;
  // The exclusive flag does not outlive the close, so other users can open the port.
  const int other = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  int exclusive = -1;
  ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  close(other);

  const OpenOutcome again = serial().Open(path_ + ":");
  EXPECT_NE(again.handle, kInvalidPortHandle);
  handle_ = again.handle;
}

TEST_F(PtyPort, OtherTimeoutPolicies) {
  OpenAsDriver();
  // MAXDWORD, 0, 0: only what is waiting, never a wait.
  CommTimeouts immediate{};
  immediate.ReadIntervalTimeout = 0xFFFFFFFFu;
  ASSERT_TRUE(serial().SetTimeouts(handle_, immediate).ok);
  auto start = Clock::now();
  EXPECT_EQ(Read255().bytes_read, 0u);
  EXPECT_LT(ElapsedMs(start), kNotBlockedMs);

  // No interval limit: a gap does not end the read, the total does.
  CommTimeouts total_only{};
  total_only.ReadTotalTimeoutConstant = 150;
  ASSERT_TRUE(serial().SetTimeouts(handle_, total_only).ok);
  std::thread device([this] {
    SendFromDevice("ab");
    std::this_thread::sleep_for(milliseconds(40));
    SendFromDevice("cd");
  });
  start = Clock::now();
  const ReadOutcome read = Read255();
  device.join();
  EXPECT_EQ(read.bytes_read, 4u);
  EXPECT_GE(ElapsedMs(start), 140);
}

}  // namespace
}  // namespace qel::posix
