#include "serial_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>

#include "unique_fd.h"

namespace qel::posix {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kMaxDword = std::numeric_limits<std::uint32_t>::max();

std::uint32_t ErrnoCode(int error) { return static_cast<std::uint32_t>(error); }

bool IsComName(std::string_view name, unsigned& number) {
  if (name.size() < 4 || name.size() > 7) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    const char c = static_cast<char>(name[i] & ~0x20);  // ASCII upper case
    if (c != "COM"[i]) return false;
  }
  const std::string_view digits = name.substr(3);
  if (digits.front() == '0') return false;
  number = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  return number >= 1;
}

speed_t SpeedFor(std::uint32_t baud, bool& known) {
  known = true;
  switch (baud) {
    case 110:
      return B110;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      known = false;
      return B0;
  }
}

// DCB bit fields that decide the modem lines and flow control.
constexpr std::uint32_t kDcbOutxCtsFlow = 0x4;
constexpr std::uint32_t kDcbOutX = 0x100;
constexpr std::uint32_t kDcbInX = 0x200;
constexpr unsigned kDcbDtrShift = 4;
constexpr unsigned kDcbRtsShift = 12;

// The read policy of one COMMTIMEOUTS record applied to a request of `count` bytes.
struct ReadPlan {
  bool return_waiting_only = false;       // MAXDWORD, 0, 0: never wait
  bool wait_first_byte_only = false;      // MAXDWORD, MAXDWORD, c: wait up to c for one byte
  std::chrono::milliseconds interval{0};  // 0: no limit between bytes
  std::chrono::milliseconds total{0};     // 0: no overall limit
};

ReadPlan PlanFor(const CommTimeouts& t, std::uint32_t count) {
  ReadPlan plan;
  if (t.ReadIntervalTimeout == kMaxDword) {
    if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
      plan.return_waiting_only = true;
      return plan;
    }
    if (t.ReadTotalTimeoutMultiplier == kMaxDword && t.ReadTotalTimeoutConstant != 0 &&
        t.ReadTotalTimeoutConstant != kMaxDword) {
      plan.wait_first_byte_only = true;
      plan.total = std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
      return plan;
    }
  } else {
    plan.interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
  }
  const std::uint64_t total =
      std::uint64_t{t.ReadTotalTimeoutMultiplier == kMaxDword ? 0 : t.ReadTotalTimeoutMultiplier} *
          count +
      t.ReadTotalTimeoutConstant;
  plan.total = std::chrono::milliseconds(static_cast<std::int64_t>(total));
  return plan;
}

class TermiosSerial final : public SerialApi {
 public:
  OpenOutcome Open(const std::string& device) override {
    const std::optional<std::string> path = DevicePathFor(device);
    // A name with an embedded NUL would open a different path than the one named.
    if (!path || path->find('\0') != std::string::npos) return OpenFailed(ENOENT);

    // O_NONBLOCK keeps the open from waiting for carrier, and every later read is driven
    // by poll.
    UniqueFd fd(::open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return OpenFailed(errno);
    // Anything but a terminal is refused before any ioctl or write could reach it.
    if (!::isatty(fd.get())) return OpenFailed(ENOTTY);
    // flock covers every opener, root included; TIOCEXCL also stops programs that
    // do not lock.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      return OpenFailed(errno == EWOULDBLOCK ? EBUSY : errno);
    }
    if (::ioctl(fd.get(), TIOCEXCL) != 0) return OpenFailed(errno);
    // Like a freshly opened Windows port: nothing from before this call is ever read.
    ::tcflush(fd.get(), TCIFLUSH);

    std::lock_guard<std::mutex> lock(mutex_);
    timeouts_[fd.get()] = CommTimeouts{};
    return OpenOutcome{static_cast<PortHandle>(fd.release()), 0};
  }

  void Purge(PortHandle) override {}  // PurgeComm with no flags does nothing

  SysStatus SetState(PortHandle handle, const LineSettings& settings) override {
    const int fd = static_cast<int>(handle);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return SysStatus::Fail(ErrnoCode(errno));
    ::cfmakeraw(&tio);

    bool known = false;
    const speed_t speed = SpeedFor(settings.BaudRate, known);
    if (!known) return SysStatus::Fail(EINVAL);
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);

    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
    switch (settings.ByteSize) {
      case 5:
        tio.c_cflag |= CS5;
        break;
      case 6:
        tio.c_cflag |= CS6;
        break;
      case 7:
        tio.c_cflag |= CS7;
        break;
      case 8:
        tio.c_cflag |= CS8;
        break;
      default:
        return SysStatus::Fail(EINVAL);
    }
    switch (settings.Parity) {
      case 0:
        break;  // NOPARITY
      case 1:
        tio.c_cflag |= PARENB | PARODD;
        break;  // ODDPARITY
      case 2:
        tio.c_cflag |= PARENB;
        break;  // EVENPARITY
      default:
        return SysStatus::Fail(EINVAL);  // mark and space are not offered
    }
    switch (settings.StopBits) {
      case 0:
        break;  // ONESTOPBIT
      case 2:
        tio.c_cflag |= CSTOPB;
        break;  // TWOSTOPBITS
      default:
        return SysStatus::Fail(EINVAL);
    }
    tio.c_cflag |= CLOCAL | CREAD;
    if (settings.Flags & kDcbOutxCtsFlow) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (settings.Flags & kDcbOutX) tio.c_iflag |= IXON;
    if (settings.Flags & kDcbInX) tio.c_iflag |= IXOFF;
    // With O_NONBLOCK, VMIN 1 makes an empty queue read as EAGAIN, so a read of 0 can only
    // mean the device hung up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return SysStatus::Fail(ErrnoCode(errno));

    // DTR_CONTROL_DISABLE / RTS_CONTROL_DISABLE hold the lines off. A pseudo-terminal has
    // no modem lines and refuses the ioctl; that is no failure of the port.
    int drop = 0;
    int raise = 0;
    (((settings.Flags >> kDcbDtrShift) & 3) == 0 ? drop : raise) |= TIOCM_DTR;
    (((settings.Flags >> kDcbRtsShift) & 3) == 0 ? drop : raise) |= TIOCM_RTS;
    if (drop != 0) ::ioctl(fd, TIOCMBIC, &drop);
    if (raise != 0) ::ioctl(fd, TIOCMBIS, &raise);
    return SysStatus::Ok();
  }

  SysStatus SetTimeouts(PortHandle handle, const CommTimeouts& timeouts) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = timeouts_.find(static_cast<int>(handle));
    if (it == timeouts_.end()) return SysStatus::Fail(EBADF);
    it->second = timeouts;
    return SysStatus::Ok();
  }

  ReadOutcome Read(PortHandle handle, std::uint8_t* buffer, std::uint32_t count) override {
    const int fd = static_cast<int>(handle);
    CommTimeouts timeouts;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto it = timeouts_.find(fd);
      if (it == timeouts_.end()) return ReadOutcome{SysStatus::Fail(EBADF), 0};
      timeouts = it->second;
    }
    const ReadPlan plan = PlanFor(timeouts, count);
    const Clock::time_point start = Clock::now();
    Clock::time_point last_byte{};
    std::uint32_t got = 0;
    bool hung_up = false;

    while (got < count) {
      const ssize_t n = ::read(fd, buffer + got, count - got);
      if (n > 0) {
        got += static_cast<std::uint32_t>(n);
        last_byte = Clock::now();
        if (plan.wait_first_byte_only) break;
        continue;
      }
      if (n == 0) return ReadFailed(EIO);  // end of file on a terminal: it hung up
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return ReadFailed(errno);
      // The queue is empty. A hang-up with nothing left to read is a failure.
      if (hung_up) return ReadFailed(EIO);
      if (plan.return_waiting_only) break;

      const Clock::time_point now = Clock::now();
      Clock::time_point until = Clock::time_point::max();
      if (plan.total.count() > 0) until = start + plan.total;
      if (plan.interval.count() > 0 && got > 0) {
        // The gap must exceed the interval, so wait until just past it.
        until = std::min(until, last_byte + plan.interval + std::chrono::microseconds(1));
      }
      if (now >= until) break;

      pollfd pfd{fd, POLLIN, 0};
      timespec wait{};
      timespec* wait_ptr = nullptr;
      if (until != Clock::time_point::max()) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now);
        wait.tv_sec = static_cast<time_t>(left.count() / 1000000000);
        wait.tv_nsec = static_cast<long>(left.count() % 1000000000);
        wait_ptr = &wait;
      }
      const int ready = ::ppoll(&pfd, 1, wait_ptr, nullptr);
      if (ready < 0 && errno != EINTR) return ReadFailed(errno);
      if (ready > 0 && (pfd.revents & POLLNVAL)) return ReadFailed(EBADF);
      if (ready > 0 && (pfd.revents & (POLLHUP | POLLERR))) hung_up = true;
    }
    return ReadOutcome{SysStatus::Ok(), got};
  }

  void Close(PortHandle handle) override {
    const int fd = static_cast<int>(handle);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      timeouts_.erase(fd);
    }
    // A pseudo-terminal keeps the exclusive flag after the last close; clear it so the
    // next opener, of any user, gets the port.
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
  }

 private:
  static OpenOutcome OpenFailed(int error) {
    return OpenOutcome{kInvalidPortHandle, ErrnoCode(error)};
  }
  // Like a failed ReadFile, a failed read reports no bytes.
  static ReadOutcome ReadFailed(int error) {
    return ReadOutcome{SysStatus::Fail(ErrnoCode(error)), 0};
  }

  std::mutex mutex_;
  std::map<int, CommTimeouts> timeouts_;  // per open handle, as SetCommTimeouts keeps them
};

}  // namespace

std::optional<std::string> DevicePathFor(std::string_view device) {
  unsigned number = 0;
  constexpr std::string_view kDeviceNamespace = "\\\\.\\";
  if (device.substr(0, kDeviceNamespace.size()) == kDeviceNamespace) {
    if (IsComName(device.substr(kDeviceNamespace.size()), number)) {
      return "/dev/ttyS" + std::to_string(number - 1);
    }
    return std::nullopt;
  }
  if (!device.empty() && device.back() == ':') device.remove_suffix(1);
  if (!device.empty() && device.front() == '/') return std::string(device);
  if (IsComName(device, number)) return "/dev/ttyS" + std::to_string(number - 1);
  return std::nullopt;
}

SerialApi& PosixSerialApi() {
  static TermiosSerial serial;
  return serial;
}

}  // namespace qel::posix
