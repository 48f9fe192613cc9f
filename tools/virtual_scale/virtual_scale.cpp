// virtual_scale: a platform scale on a pseudo-terminal.
//
// Prints the slave path as its first line on stdout, then speaks its protocol while some
// process holds the slave open, like a scale on a real line whose bytes are lost while no
// port is open: a continuous scale sends its frames back to back at its line's speed, a
// polled one answers the requests that reach it. What the client reads passes through a model
// of the line, so a client set to another speed, data bits or parity reads what a real port
// would (line.h, line_termios.h). Commands arrive on stdin, one per line, and on the control
// socket of --control (control_socket.h), whose client is --send.
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
#include <utility>
#include <vector>

#include "control_socket.h"
#include "line.h"
#include "line_termios.h"
#include "scale_options.h"
#include "scale_stream.h"
#include "state_commands.h"

namespace {

using vscale::LineFormat;
using vscale::Mode;

constexpr std::int64_t kNsPerSecond = 1000000000;
constexpr std::int64_t kTickIdleNs = 2000000;
constexpr std::size_t kHangupBytes = 6;  // sent before the device vanishes
constexpr unsigned kHangupDelayMs = 100;

volatile sig_atomic_t stop_requested = 0;
void OnStopSignal(int) { stop_requested = 1; }

// Installed as qel-virtual-scale; the build tree's program is virtual_scale.
const char kUsage[] =
    "usage: qel-virtual-scale [--protocol ID] [--line BAUD,FRAMING | --baud N --framing F]\n"
    "                         [--weight W] [--decimals N] [--mode MODE] [--symlink PATH]\n"
    "                         [--control SOCKET] [--timestamps FILE]\n"
    "       qel-virtual-scale --send SOCKET COMMAND...\n"
    "  Creates a pseudo-terminal, prints its slave path as the first line on stdout and\n"
    "  speaks the protocol while a client holds the port open: a continuous scale sends its\n"
    "  frames back to back at the line's speed, a polled one answers each request.\n"
    "  --protocol ID  qel (default: \"=\" + the weight's %07.3f text reversed, 9600 8N1),\n"
    "                 toledo-8217 (polled, 9600 7E1), toledo-continuous (9600 7E1),\n"
    "                 mt-sics (polled, 9600 8N1), ad (2400 7E1), cas (9600 8N1),\n"
    "                 sma (polled, 9600 8N1), nci (polled, 9600 7E1),\n"
    "                 cas-ecr (polled, 9600 8N1), magellan (polled, 9600 7E1, kg or lb);\n"
    "                 replay:FILE sends the records of a\n"
    "                 corpus file (tests/corpus/ID.txt) in turn, at ID's line\n"
    "  --line 9600,7E1  the line the scale speaks, default the protocol's; also --baud N\n"
    "                 (1200 to 115200) and --framing F (7E1 7O1 8N1 7E2 8N2 8E1 8O1 7N2).\n"
    "                 A client set to another line reads what a real port would: the parity\n"
    "                 bit in bit 7, 0x00 for a parity error, garbage at a wrong speed; its\n"
    "                 requests reach the scale likewise. The client's data bits and parity\n"
    "                 are read from ISTRIP and INPCK (+PARODD), which a pseudo-terminal keeps.\n"
    "  --weight W     weight shown, default 1.234 (must fit the protocol's display)\n"
    "  --decimals N   the scale's resolution, 0 to 5 decimals, default 3 (qel: always 3)\n"
    "  --mode MODE    normal | negative | silent | garbage | truncated | hangup\n"
    "  --symlink PATH also reach the slave through PATH (removed at exit)\n"
    "  --control SOCKET  also take the commands below on a Unix socket at SOCKET (replaced\n"
    "                 if an earlier run left one, removed at exit): one command per line,\n"
    "                 each answered on its connection. For a scale in the background:\n"
    "                   qel-virtual-scale --symlink /tmp/scale --control /tmp/scale.ctl &\n"
    "                   qel-virtual-scale --send /tmp/scale.ctl weight 2.5\n"
    "  --send SOCKET COMMAND...  send one command to the scale at SOCKET and print its\n"
    "                 answer; exit status 0 for \"ok\", 1 for an error, 2 when unreachable\n"
    "  --timestamps FILE  append \"WEIGHT NS\" when the first frame of a new weight starts\n"
    "                 going out (NS: CLOCK_MONOTONIC nanoseconds), for latency figures\n"
    "commands, one per line on stdin or the control socket:\n"
    "  weight W | tare W (net mode while not 0) | decimals N | mode MODE\n"
    "  motion on|off | condition normal|overload|under-zero|busy | unit kg|g|lb|oz\n"
    "  commands ack|refuse|ignore  how zero and tare commands are answered; an acknowledged\n"
    "          zero sets the weight to 0 (and ends net mode), an acknowledged tare takes the\n"
    "          gross weight as tare; a scale in motion or out of range refuses\n"
    "  checksum on|off  toledo-continuous: the checksum byte after CR (default on)\n"
    "  hangup  the device vanishes mid-cycle and the program ends\n"
    "  vanish  the device vanishes (the symlink goes with it); the program stays\n"
    "  appear  a new device comes back, reached again through the same symlink\n"
    "  quit\n"
    "A condition a protocol cannot show (busy on a continuous scale, any on qel) makes the\n"
    "scale send nothing; protocols without a unit or motion flag ignore those settings.\n"
    "Each command is answered with a line \"ok\" or \"error: ...\".\n";

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

int OpenPty(const LineFormat& line, char* slave_path, std::size_t size);
bool LinkSlave(const std::string& target, const std::string& link);

class VirtualScale {
 public:
  VirtualScale(int master, std::string slave_path, std::string symlink, vscale::ScaleStream stream,
               const LineFormat& line, FILE* timestamps, vscale::ControlSocket* control)
      : master_(master),
        slave_path_(std::move(slave_path)),
        symlink_(std::move(symlink)),
        stream_(std::move(stream)),
        line_(line),
        bytes_per_second_(line.baud / vscale::BitsPerChar(line)),
        timestamps_(timestamps),
        control_(control) {}

  int Run() {
    bool stdin_open = true;
    while (!stop_requested && !quit_) {
      if (stdin_open) stdin_open = PollCommands();
      if (control_ != nullptr) {
        control_->Poll([this](std::string_view line) { return RunCommand(line); });
      }
      if (quit_ || stop_requested) break;
      if (hangup_now_) return HangUp();
      if (master_ < 0) {  // vanished: only commands until the device appears again
        SleepUntilNs(NowNs() + kTickIdleNs);
        continue;
      }

      // What the client wrote since the last look, read before looking for the client: a
      // client that opens and writes at once then has its request answered, not dropped.
      const std::string written = ReadMaster();
      const bool client = ClientHoldsPort();
      if (client && !client_) {
        client_ = true;
        stream_start_ns_ = NowNs();
        sent_ = 0;
        stream_.OnClientOpen();
        client_line_.reset();
        if (stream_.mode() == Mode::kHangup) return HangUp();
      }
      if (client) {
        FollowClientLine();
        if (!written.empty()) stream_.Receive(to_scale_.Pass(written) + to_scale_.Idle());
      }
      if (!client && client_) ForgetUnreadBytes();
      client_ = client;
      if (client_) Stream();

      // While streaming, wake when the next byte is due, so bytes leave one at a time
      // (about 1.04 ms apart at 9600 8N1) as on the wire; a late wake sends the overdue bytes
      // together.
      const std::int64_t now = NowNs();
      SleepUntilNs(client_ ? stream_start_ns_ + (sent_ + 1) * kNsPerSecond / bytes_per_second_
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

  // The client may set its line at any time; each change starts both directions afresh.
  void FollowClientLine() {
    const LineFormat line = vscale::ClientLine(master_);
    if (client_line_ && vscale::SameLine(*client_line_, line)) return;
    client_line_ = line;
    to_client_ = vscale::LineChannel(line_, line);
    to_scale_ = vscale::LineChannel(line, line_);
  }

  // Everything the master has to read: what a client wrote. It reaches the scale through the
  // line, each read as a burst the line carries back to back before it rests; a continuous
  // scale drops it, and so does a scale without a client.
  std::string ReadMaster() const {
    std::string bytes;
    char data[256];
    ssize_t n;
    while ((n = read(master_, data, sizeof data)) > 0)
      bytes.append(data, static_cast<std::size_t>(n));
    return bytes;
  }

  // Sends the bytes that the line would have carried since the client opened the port.
  void Stream() {
    const std::int64_t due = (NowNs() - stream_start_ns_) * bytes_per_second_ / kNsPerSecond;
    while (sent_ < due) {
      std::string chunk;
      bool new_weight = false;
      while (chunk.size() < kChunkBytes && sent_ + static_cast<std::int64_t>(chunk.size()) < due) {
        const std::optional<char> byte = stream_.Next();
        if (!byte) break;
        chunk += *byte;
        new_weight |= stream_.TakeNewWeightStart();
      }
      if (chunk.empty()) {  // the scale is quiet: time passes without bytes
        WriteToClient(to_client_.Idle());
        sent_ = due;
        break;
      }
      const std::int64_t written_at = NowNs();
      if (!WriteToClient(to_client_.Pass(chunk))) {
        sent_ = due;
        break;
      }
      if (new_weight && timestamps_ != nullptr) {
        std::fprintf(timestamps_, "%s %lld\n", stream_.WeightLabel().c_str(),
                     static_cast<long long>(written_at));
        std::fflush(timestamps_);
      }
      sent_ += static_cast<std::int64_t>(chunk.size());
    }
  }

  // False when the client is gone. A full input queue loses bytes, as an overrun UART would.
  bool WriteToClient(const std::string& bytes) const {
    if (bytes.empty()) return true;
    return write(master_, bytes.data(), bytes.size()) >= 0 || errno == EAGAIN;
  }

  // The device vanishes in the middle of a client's cycle.
  int HangUp() {
    if (ClientHoldsPort()) {
      FollowClientLine();
      std::string bytes;
      while (bytes.size() < kHangupBytes) {
        const std::optional<char> byte = stream_.Next();
        if (!byte) break;
        bytes += *byte;
      }
      WriteToClient(to_client_.Pass(bytes));  // the hang-up follows either way
    }
    timespec pause{0, static_cast<long>(kHangupDelayMs) * 1000000L};
    nanosleep(&pause, nullptr);
    Cleanup();
    return 0;
  }

  // Reads available stdin and runs complete lines; false once stdin has ended.
  bool PollCommands() {
    // Started with "&" from an interactive shell, the terminal belongs to the foreground job:
    // reading it would stop this program (SIGTTIN) and the scale with it. Until "fg", the
    // control socket is the way in.
    if (isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) != getpgrp()) return true;
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
    const auto [verb, arg] = vscale::SplitCommandLine(line);
    if (std::optional<std::string> reply = vscale::RunStateCommand(verb, arg, stream_)) {
      return *reply;
    }
    if (verb == "hangup") {
      hangup_now_ = true;
      return "ok";
    }
    if (verb == "vanish") return Vanish();
    if (verb == "appear") return Appear();
    if (verb == "quit") {
      quit_ = true;
      return "ok";
    }
    if (verb.empty()) return "ok";
    return "error: unknown command";
  }

  std::string Vanish() {
    if (master_ < 0) return "error: already gone";
    Cleanup();
    client_ = false;
    return "ok";
  }

  std::string Appear() {
    if (master_ >= 0) return "error: already there";
    char path[256];
    const int master = OpenPty(line_, path, sizeof path);
    if (master < 0) return "error: no pseudo-terminal";
    master_ = master;
    slave_path_ = path;
    if (!link_path_.empty() && !LinkSlave(slave_path_, link_path_)) return "error: symlink";
    symlink_ = link_path_;
    return "ok";
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

  static constexpr std::size_t kChunkBytes = 64;

  int master_;
  std::string slave_path_;
  std::string symlink_;
  std::string link_path_ = symlink_;  // kept when the device vanishes, for its return
  vscale::ScaleStream stream_;
  LineFormat line_;  // the line the scale speaks
  std::int64_t bytes_per_second_;
  std::optional<LineFormat> client_line_;  // the line the client set, once it holds the port
  vscale::LineChannel to_client_;
  vscale::LineChannel to_scale_;
  FILE* timestamps_;
  vscale::ControlSocket* control_;  // null without --control
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

// A new pseudo-terminal with a raw line set to the scale's own; -1 after a message on failure.
int OpenPty(const LineFormat& line, char* slave_path, std::size_t size) {
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
  vscale::SetRawLine(slave, line);
  close(slave);
  return master;
}

// Points `link` at `target`, replacing a stale link, never anything else.
bool LinkSlave(const std::string& target, const std::string& link) {
  struct stat existing {};
  if (lstat(link.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) unlink(link.c_str());
  return symlink(target.c_str(), link.c_str()) == 0;
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

// --send SOCKET COMMAND...: the command's words as one line to the scale at SOCKET.
int Send(int argc, char** argv) {
  if (argc < 4) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string line = argv[3];
  for (int i = 4; i < argc; ++i) line += std::string(" ") + argv[i];
  if (line.find('\n') != std::string::npos) {
    std::fputs("virtual_scale: --send takes one command, without line ends\n", stderr);
    return 2;
  }
  std::string error;
  const std::optional<std::string> answer = vscale::SendCommand(argv[2], line, error);
  if (!answer) {
    std::fprintf(stderr, "virtual_scale: --send %s\n", error.c_str());
    return 2;
  }
  std::printf("%s\n", answer->c_str());
  return *answer == "ok" ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string_view(argv[1]) == "--send") return Send(argc, argv);
  vscale::Options options;
  if (const std::optional<int> status = vscale::ParseArguments(
          argc, argv, {"--symlink", "--timestamps", "--control"}, kUsage, options)) {
    return *status;
  }
  vscale::ScaleStream stream(*options.emulation, vscale::ScaleState{}, Mode::kNormal);
  if (!vscale::ApplyStateOptions(options, stream)) return 2;
  const std::string symlink_path = options.Text("--symlink");
  const std::string timestamps_path = options.Text("--timestamps");
  const std::string control_path = options.Text("--control");
  InstallSignalHandlers();

  // The timestamps file first: a failure after the symlink was made would leave the link
  // behind, pointing at a pseudo-terminal number the system hands out again.
  FILE* timestamps = nullptr;
  if (!timestamps_path.empty()) {
    timestamps = std::fopen(timestamps_path.c_str(), "a");
    if (timestamps == nullptr) return Fail(timestamps_path.c_str());
  }
  // The control socket before the pseudo-terminal too, for the same reason; it goes at exit.
  std::optional<vscale::ControlSocket> control;
  if (!control_path.empty()) {
    std::string error;
    control = vscale::ControlSocket::Listen(control_path, error);
    if (!control) {
      std::fprintf(stderr, "virtual_scale: --control %s\n", error.c_str());
      return 1;
    }
  }
  const LineFormat line = options.Line();
  char slave_path[256];
  const int master = OpenPty(line, slave_path, sizeof slave_path);
  if (master < 0) return 1;
  if (!symlink_path.empty() && !LinkSlave(slave_path, symlink_path)) {
    return Fail(symlink_path.c_str());
  }

  std::printf("%s\n", slave_path);
  std::fflush(stdout);

  VirtualScale scale(master, slave_path, symlink_path, std::move(stream), line, timestamps,
                     control ? &*control : nullptr);
  const int status = scale.Run();
  if (timestamps != nullptr) std::fclose(timestamps);
  return status;
}
