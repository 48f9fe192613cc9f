// virtual_scale: a platform scale on a pseudo-terminal.
//
// Prints the slave path as its first line on stdout, then streams the scale's frames at
// 9600 baud 8N1 while some process holds the slave open, like a scale on a real line whose
// bytes are lost while no port is open. Commands arrive on stdin, one per line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "scale_stream.h"

namespace {

using vscale::Mode;

constexpr std::int64_t kBytesPerSecond = 960;  // 9600 baud, 10 bits a byte with 8N1
constexpr std::int64_t kNsPerSecond = 1000000000;
constexpr std::int64_t kTickIdleNs = 2000000;
constexpr std::size_t kHangupBytes = 6;  // sent before the device vanishes
constexpr unsigned kHangupDelayMs = 100;

volatile sig_atomic_t stop_requested = 0;
void OnStopSignal(int) { stop_requested = 1; }

const char kUsage[] =
    "usage: virtual_scale [--weight W] [--mode MODE] [--symlink PATH] [--timestamps FILE]\n"
    "  Creates a pseudo-terminal, prints its slave path as the first line on stdout and\n"
    "  sends the scale's frames (\"=\" + the weight's %07.3f text reversed) at 9600 baud\n"
    "  while a client holds the port open.\n"
    "  --weight W     weight shown, default 1.234 (must fit in 7 characters)\n"
    "  --mode MODE    normal | negative | silent | garbage | truncated | hangup\n"
    "  --symlink PATH also reach the slave through PATH (removed at exit)\n"
    "  --timestamps FILE  append \"WEIGHT NS\" when the first frame of a new weight starts\n"
    "                 going out (NS: CLOCK_MONOTONIC nanoseconds), for latency figures\n"
    "stdin commands, one per line: weight W | mode MODE | hangup | vanish | appear | quit\n"
    "  hangup  the device vanishes mid-cycle and the program ends\n"
    "  vanish  the device vanishes (the symlink goes with it); the program stays\n"
    "  appear  a new device comes back, reached again through the same symlink\n"
    "Each command is answered with a line \"ok\" or \"error: ...\" on stdout.\n";

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * kNsPerSecond + ts.tv_nsec;
}

void SleepUntilNs(std::int64_t when) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(when / kNsPerSecond);
  ts.tv_nsec = static_cast<long>(when % kNsPerSecond);
  // A signal cuts the sleep short; the loop checks the stop flag right after.
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

bool ParseWeight(std::string_view text, std::string& weight_text) {
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(copy.c_str(), &end);
  if (copy.empty() || end != copy.c_str() + copy.size() || errno != 0) return false;
  const std::optional<std::string> shown = vscale::WeightText(value);
  if (!shown) return false;
  weight_text = *shown;
  return true;
}

int OpenPty(char* slave_path, std::size_t size);
bool LinkSlave(const std::string& target, const std::string& link);

class VirtualScale {
 public:
  VirtualScale(int master, std::string slave_path, std::string symlink, vscale::ScaleStream stream,
               FILE* timestamps)
      : master_(master),
        slave_path_(std::move(slave_path)),
        symlink_(std::move(symlink)),
        stream_(std::move(stream)),
        timestamps_(timestamps) {}

  int Run() {
    bool stdin_open = true;
    while (!stop_requested && !quit_) {
      if (stdin_open) stdin_open = PollCommands();
      if (quit_ || stop_requested) break;
      if (hangup_now_) return HangUp();
      if (master_ < 0) {  // vanished: only commands until the device appears again
        SleepUntilNs(NowNs() + kTickIdleNs);
        continue;
      }

      const bool client = ClientHoldsPort();
      DrainMaster();
      if (client && !client_) {
        client_ = true;
        stream_start_ns_ = NowNs();
        sent_ = 0;
        stream_.OnClientOpen();
        if (stream_.mode() == Mode::kHangup) return HangUp();
      }
      if (!client && client_) ForgetUnreadBytes();
      client_ = client;
      if (client_) Stream();

      // While streaming, wake when the next byte is due, so bytes leave one at a time
      // about 1.04 ms apart as on the wire; a late wake sends the overdue bytes together.
      const std::int64_t now = NowNs();
      SleepUntilNs(client_ ? stream_start_ns_ + (sent_ + 1) * kNsPerSecond / kBytesPerSecond
                           : now + kTickIdleNs);
    }
    Cleanup();
    return 0;
  }

 private:
  // The master reports POLLHUP while no process has the slave open.
  bool ClientHoldsPort() const {
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, 0) < 0) return false;
    return (pfd.revents & POLLHUP) == 0;
  }

  // A closed serial port keeps nothing: the next open starts with an empty input queue, and
  // bytes the line carried meanwhile are lost. A pseudo-terminal would instead keep what the
  // last client left unread and hand it to the next one as a stale reading, so drop it.
  void ForgetUnreadBytes() const {
    const int slave = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) return;
    tcflush(slave, TCIFLUSH);
    close(slave);
  }

  // Whatever a client writes is read and dropped, so its writes never stall.
  void DrainMaster() const {
    char scratch[256];
    while (read(master_, scratch, sizeof scratch) > 0) {
    }
  }

  // Sends the bytes that the line would have carried since the client opened the port.
  void Stream() {
    const std::int64_t due = (NowNs() - stream_start_ns_) * kBytesPerSecond / kNsPerSecond;
    char chunk[64];
    while (sent_ < due) {
      std::size_t n = 0;
      bool new_weight = false;
      while (n < sizeof chunk && sent_ + static_cast<std::int64_t>(n) < due) {
        const std::optional<char> byte = stream_.Next();
        if (!byte) break;
        chunk[n++] = *byte;
        new_weight |= stream_.TakeNewWeightStart();
      }
      if (n == 0) {  // the scale is quiet: time passes without bytes
        sent_ = due;
        break;
      }
      // A full input queue loses bytes, as an overrun UART would.
      const std::int64_t written_at = NowNs();
      if (write(master_, chunk, n) < 0 && errno != EAGAIN) {
        sent_ = due;
        break;
      }
      if (new_weight && timestamps_ != nullptr) {
        std::fprintf(timestamps_, "%s %lld\n", stream_.weight_text().c_str(),
                     static_cast<long long>(written_at));
        std::fflush(timestamps_);
      }
      sent_ += static_cast<std::int64_t>(n);
    }
  }

  // The device vanishes in the middle of a client's cycle.
  int HangUp() {
    if (ClientHoldsPort()) {
      char bytes[kHangupBytes];
      std::size_t n = 0;
      while (n < kHangupBytes) {
        const std::optional<char> byte = stream_.Next();
        if (!byte) break;
        bytes[n++] = *byte;
      }
      if (n > 0 && write(master_, bytes, n) < 0) {
        // Nothing to do: the hang-up follows either way.
      }
    }
    timespec pause{0, static_cast<long>(kHangupDelayMs) * 1000000L};
    nanosleep(&pause, nullptr);
    Cleanup();
    return 0;
  }

  // Reads available stdin and runs complete lines; false once stdin has ended.
  bool PollCommands() {
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    if (poll(&pfd, 1, 0) <= 0) return true;
    char data[512];
    const ssize_t n = read(STDIN_FILENO, data, sizeof data);
    if (n <= 0) return n < 0 && (errno == EAGAIN || errno == EINTR);
    input_.append(data, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = input_.find('\n')) != std::string::npos) {
      std::string line = input_.substr(0, end);
      input_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      Reply(RunCommand(line));
    }
    return true;
  }

  std::string RunCommand(std::string_view line) {
    const std::size_t space = line.find(' ');
    const std::string_view verb = line.substr(0, space);
    std::string_view arg = space == std::string_view::npos ? "" : line.substr(space + 1);
    while (!arg.empty() && arg.front() == ' ') arg.remove_prefix(1);
    while (!arg.empty() && arg.back() == ' ') arg.remove_suffix(1);
    if (verb == "weight") {
      std::string text;
      if (!ParseWeight(arg, text))
        return "error: weight must be a number that fits in 7 characters";
      stream_.SetWeightText(text);
      return "ok";
    }
    if (verb == "mode") {
      const std::optional<Mode> mode = vscale::ParseMode(arg);
      if (!mode) return "error: unknown mode";
      stream_.SetMode(*mode);
      return "ok";
    }
    if (verb == "hangup") {
      hangup_now_ = true;
      return "ok";
    }
    if (verb == "vanish") {
      if (master_ < 0) return "error: already gone";
      Cleanup();
      client_ = false;
      return "ok";
    }
    if (verb == "appear") {
      if (master_ >= 0) return "error: already there";
      char path[256];
      const int master = OpenPty(path, sizeof path);
      if (master < 0) return "error: no pseudo-terminal";
      master_ = master;
      slave_path_ = path;
      if (!link_path_.empty() && !LinkSlave(slave_path_, link_path_)) return "error: symlink";
      symlink_ = link_path_;
      return "ok";
    }
    if (verb == "quit") {
      quit_ = true;
      return "ok";
    }
    if (verb.empty()) return "ok";
    return "error: unknown command";
  }

  static void Reply(const std::string& reply) {
    std::fputs((reply + "\n").c_str(), stdout);
    std::fflush(stdout);
  }

  void Cleanup() {
    if (master_ >= 0) close(master_);
    master_ = -1;
    if (!symlink_.empty()) unlink(symlink_.c_str());
    symlink_.clear();
  }

  int master_;
  std::string slave_path_;
  std::string symlink_;
  std::string link_path_ = symlink_;  // kept when the device vanishes, for its return
  vscale::ScaleStream stream_;
  FILE* timestamps_;
  std::string input_;
  bool client_ = false;
  bool quit_ = false;
  bool hangup_now_ = false;
  std::int64_t stream_start_ns_ = 0;
  std::int64_t sent_ = 0;
};

int Fail(const char* what) {
  std::fprintf(stderr, "virtual_scale: %s: %s\n", what, std::strerror(errno));
  return 1;
}

// A new pseudo-terminal with a raw 9600 8N1 line; -1 after a message on failure.
int OpenPty(char* slave_path, std::size_t size) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) {
    Fail("posix_openpt");
    return -1;
  }
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, slave_path, size) != 0) {
    Fail("grantpt/unlockpt/ptsname_r");
    close(master);
    return -1;
  }

  // Raw line, and one open and close of the slave: the master reports POLLHUP only after a
  // slave has been closed, which is how a client's open is told from no client.
  const int slave = open(slave_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) {
    Fail(slave_path);
    close(master);
    return -1;
  }
  termios tio{};
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(slave, TCSANOW, &tio);
  }
  close(slave);
  return master;
}

// Points `link` at `target`, replacing a stale link, never anything else.
bool LinkSlave(const std::string& target, const std::string& link) {
  struct stat existing {};
  if (lstat(link.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) unlink(link.c_str());
  return symlink(target.c_str(), link.c_str()) == 0;
}

struct Options {
  std::string weight_text = "001.234";
  Mode mode = Mode::kNormal;
  std::string symlink_path;
  std::string timestamps_path;
};

// Reads the command line into `options`; an exit status when the program is to end at once
// (help, or a bad argument after its message).
std::optional<int> ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--weight" && has_value) {
      if (!ParseWeight(argv[++i], options.weight_text)) {
        std::fprintf(stderr, "virtual_scale: bad weight '%s'\n", argv[i]);
        return 2;
      }
    } else if (arg == "--mode" && has_value) {
      const std::optional<Mode> parsed = vscale::ParseMode(argv[++i]);
      if (!parsed) {
        std::fprintf(stderr, "virtual_scale: unknown mode '%s'\n", argv[i]);
        return 2;
      }
      options.mode = *parsed;
    } else if (arg == "--symlink" && has_value) {
      options.symlink_path = argv[++i];
    } else if (arg == "--timestamps" && has_value) {
      options.timestamps_path = argv[++i];
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  return std::nullopt;
}

// SIGTERM and SIGINT end the stream loop cleanly (the symlink is removed); a client that
// goes away must not end the program.
void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const std::optional<int> status = ParseArguments(argc, argv, options)) return *status;
  InstallSignalHandlers();

  // The timestamps file first: a failure after the symlink was made would leave the link
  // behind, pointing at a pseudo-terminal number the system hands out again.
  FILE* timestamps = nullptr;
  if (!options.timestamps_path.empty()) {
    timestamps = std::fopen(options.timestamps_path.c_str(), "a");
    if (timestamps == nullptr) return Fail(options.timestamps_path.c_str());
  }
  char slave_path[256];
  const int master = OpenPty(slave_path, sizeof slave_path);
  if (master < 0) return 1;
  if (!options.symlink_path.empty() && !LinkSlave(slave_path, options.symlink_path)) {
    return Fail(options.symlink_path.c_str());
  }

  std::printf("%s\n", slave_path);
  std::fflush(stdout);

  VirtualScale scale(master, slave_path, options.symlink_path,
                     vscale::ScaleStream(options.weight_text, options.mode), timestamps);
  const int status = scale.Run();
  if (timestamps != nullptr) std::fclose(timestamps);
  return status;
}
