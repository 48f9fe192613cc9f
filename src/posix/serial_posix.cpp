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

#include "port_opening.h"
#include "unique_fd.h"

namespace qel::posix {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kMaxDword = std::numeric_limits<std::uint32_t>::max();

std::uint32_t ErrnoCode(int error) { return static_cast<std::uint32_t>(error); }

// The baud rates a port accepts, each with its termios speed.
struct BaudRate {
  std::uint32_t baud;
  speed_t speed;
};
constexpr BaudRate kBaudRates[] = {
    {110, B110},     {300, B300},     {600, B600},       {1200, B1200},
    {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200},
};

// Each step edits `tio` for one group of DCB fields; a value termios cannot express is
// EINVAL, as SetCommState refuses it.
SysStatus SetBaudRate(termios& tio, std::uint32_t baud) {
  for (const BaudRate& rate : kBaudRates) {
    if (rate.baud != baud) continue;
    ::cfsetispeed(&tio, rate.speed);
    ::cfsetospeed(&tio, rate.speed);
    return SysStatus::Ok();
  }
  return SysStatus::Fail(EINVAL);
}

// Byte size, parity and stop bits.
SysStatus SetFraming(termios& tio, const LineSettings& settings) {
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
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
  // What a 7-bit or parity line wants on input: ISTRIP drops an eighth bit the line does not
  // have; INPCK reads a character with a parity or framing error as 0x00 (no IGNPAR, no
  // PARMRK) instead of as a wrong character a frame could take for a digit. A pseudo-terminal
  // forces CS8 and clears PARENB but keeps these flags, so the virtual scale learns the
  // framing from them. Cleared for 8N1: a terminal keeps them from its previous user.
  tio.c_iflag &= ~static_cast<tcflag_t>(INPCK | ISTRIP | IGNPAR | PARMRK);
  if (settings.ByteSize < 8) tio.c_iflag |= ISTRIP;
  if (settings.Parity != 0) tio.c_iflag |= INPCK;
  return SysStatus::Ok();
}

// Hardware (CTS) and software (XON/XOFF) handshakes.
void SetFlowControl(termios& tio, std::uint32_t flags) {
  tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  if (DcbFlag(flags, kDcbOutxCtsFlow)) tio.c_cflag |= CRTSCTS;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  if (DcbFlag(flags, kDcbOutX)) tio.c_iflag |= IXON;
  if (DcbFlag(flags, kDcbInX)) tio.c_iflag |= IXOFF;
}

// DTR_CONTROL_DISABLE / RTS_CONTROL_DISABLE hold the lines off, any other value raises
// them. A pseudo-terminal has no modem lines and refuses the ioctl; that is no failure of
// the port.
void SetModemLines(int fd, std::uint32_t flags) {
  int drop = 0;
  int raise = 0;
  (DtrControl(flags) == kLineControlDisable ? drop : raise) |= TIOCM_DTR;
  (RtsControl(flags) == kLineControlDisable ? drop : raise) |= TIOCM_RTS;
  if (drop != 0) ::ioctl(fd, TIOCMBIC, &drop);
  if (raise != 0) ::ioctl(fd, TIOCMBIS, &raise);
}

// tcsetattr, where a pseudo-terminal's answer counts as the line set. A pseudo-terminal forces
// CS8 and clears PARENB; when nothing else changed, Debian's C library then reports EINVAL
// although the terminal took every other field (the upstream library reports success). So an
// EINVAL after which the terminal holds all that was asked but those two bits is no failure.
SysStatus ApplyTermios(int fd, const termios& wanted) {
  if (::tcsetattr(fd, TCSANOW, &wanted) == 0) return SysStatus::Ok();
  const int error = errno;
  termios now{};
  if (error != EINVAL || ::tcgetattr(fd, &now) != 0) return SysStatus::Fail(ErrnoCode(error));
  constexpr tcflag_t kDropped = CSIZE | PARENB;
  const bool taken = now.c_iflag == wanted.c_iflag && now.c_oflag == wanted.c_oflag &&
                     now.c_lflag == wanted.c_lflag &&
                     (now.c_cflag & ~kDropped) == (wanted.c_cflag & ~kDropped) &&
                     ::cfgetispeed(&now) == ::cfgetispeed(&wanted) &&
                     ::cfgetospeed(&now) == ::cfgetospeed(&wanted);
  return taken ? SysStatus::Ok() : SysStatus::Fail(ErrnoCode(error));
}

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

    SysStatus status = SetBaudRate(tio, settings.BaudRate);
    if (status.ok) status = SetFraming(tio, settings);
    if (!status.ok) return status;
    SetFlowControl(tio, settings.Flags);
    // No hang-up on close, no modem control of the line's state, the receiver on.
    tio.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    tio.c_cflag |= CLOCAL | CREAD;
    // With O_NONBLOCK, VMIN 1 makes an empty queue read as EAGAIN, so a read of 0 can only
    // mean the device hung up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    status = ApplyTermios(fd, tio);
    if (!status.ok) return status;
    SetModemLines(fd, settings.Flags);
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

  SysStatus Write(PortHandle handle, const std::uint8_t* data, std::uint32_t count) override {
    const int fd = static_cast<int>(handle);
    // Requests are a few bytes; a line that takes them not within this time is stuck.
    constexpr int kWriteWaitMs = 1000;
    std::uint32_t sent = 0;
    while (sent < count) {
      const ssize_t n = ::write(fd, data + sent, count - sent);
      if (n > 0) {
        sent += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return SysStatus::Fail(ErrnoCode(errno));
      pollfd pfd{fd, POLLOUT, 0};
      const int ready = ::poll(&pfd, 1, kWriteWaitMs);
      if (ready == 0) return SysStatus::Fail(ErrnoCode(ETIMEDOUT));
      if (ready < 0 && errno != EINTR) return SysStatus::Fail(ErrnoCode(errno));
      if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return SysStatus::Fail(ErrnoCode(EIO));
      }
    }
    return SysStatus::Ok();
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
  const auto tty = [](std::optional<unsigned> number) -> std::optional<std::string> {
    if (!number) return std::nullopt;
    return "/dev/ttyS" + std::to_string(*number - 1);
  };
  if (device.substr(0, kDeviceNamespace.size()) == kDeviceNamespace) {
    return tty(ComPortNumber(device.substr(kDeviceNamespace.size())));
  }
  if (!device.empty() && device.back() == ':') device.remove_suffix(1);
  if (!device.empty() && device.front() == '/') return std::string(device);
  return tty(ComPortNumber(device));
}

SerialApi& PosixSerialApi() {
  static TermiosSerial serial;
  return serial;
}

}  // namespace qel::posix
