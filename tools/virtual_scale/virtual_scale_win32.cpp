// virtual_scale.exe: the virtual scale on Windows, which has no pseudo-terminals. It serves
// one end of a COM port pair made by a null-modem emulator (com0com or the like), named with
// --port COMn; the program to try opens the other end. It prints the port as its first line
// on stdout, then sends as a scale on a real line does, whether anybody listens or not: a
// COM pair shows no client's open (the driver's own protocol keeps DTR off), nor the line the
// client set, so the bytes go as the scale's line has them, at its speed. A polled scale
// answers the requests that reach it. Commands arrive on stdin, one per line.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "scale_options.h"
#include "scale_stream.h"
#include "state_commands.h"

namespace {

using Clock = std::chrono::steady_clock;
using vscale::LineFormat;

const char kUsage[] =
    "usage: virtual_scale --port COMn [--protocol ID] [--line BAUD,FRAMING | --baud N\n"
    "                     --framing F] [--weight W] [--decimals N] [--mode MODE]\n"
    "  Serves one end of a COM port pair made by a null-modem emulator (com0com or the\n"
    "  like): the program to try opens the other end. Prints the port as its first line on\n"
    "  stdout and sends the protocol's frames at the line's speed (a polled scale answers\n"
    "  each request).\n"
    "  --port COMn    the pair's end the scale holds\n"
    "  --protocol ID  qel (default), toledo-8217, toledo-continuous, mt-sics, ad, cas, sma,\n"
    "                 nci, cas-ecr, magellan (each at its own line, as the Linux program's\n"
    "                 --help lists)\n"
    "  --line 9600,7E1  the line the scale speaks, default the protocol's; also --baud N\n"
    "                 and --framing F (7E1 7O1 8N1 7E2 8N2 8E1 8O1 7N2)\n"
    "  --weight W     weight shown, default 1.234\n"
    "  --decimals N   the scale's resolution, 0 to 5 decimals, default 3\n"
    "  --mode MODE    normal | negative | silent | garbage | truncated\n"
    "stdin commands, one per line, each answered \"ok\" or \"error: ...\":\n"
    "  weight W | tare W | decimals N | mode MODE | motion on|off\n"
    "  condition normal|overload|under-zero|busy | unit kg|g|lb|oz\n"
    "  commands ack|refuse|ignore | checksum on|off | quit\n";

constexpr std::size_t kChunkBytes = 64;

// Lines typed or piped on stdin, read by a thread of their own so the scale never waits.
class CommandLines {
 public:
  CommandLines() {
    std::thread([this] {
      std::string line;
      while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
      }
    }).detach();
  }

  std::optional<std::string> Next() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.empty()) return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
  }

 private:
  std::mutex mutex_;
  std::deque<std::string> lines_;
};

// Opens `name` ("COM5") at the scale's line, reads returning at once; INVALID_HANDLE_VALUE
// after a message.
HANDLE OpenPort(const std::string& name, const LineFormat& line) {
  const std::string path = "\\\\.\\" + name;
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (port == INVALID_HANDLE_VALUE || !GetCommState(port, &dcb)) {
    std::fprintf(stderr, "virtual_scale: cannot open %s (error %lu)\n", name.c_str(),
                 GetLastError());
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    return INVALID_HANDLE_VALUE;
  }
  dcb.BaudRate = line.baud;
  dcb.ByteSize = static_cast<BYTE>(line.data_bits);
  dcb.Parity = line.parity == 'E' ? EVENPARITY : line.parity == 'O' ? ODDPARITY : NOPARITY;
  dcb.StopBits = line.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = line.parity != 'N';
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;  // with zero totals: return what is there
  timeouts.WriteTotalTimeoutConstant = 1000;
  if (!SetCommState(port, &dcb) || !SetCommTimeouts(port, &timeouts)) {
    std::fprintf(stderr, "virtual_scale: cannot set %s to the scale's line (error %lu)\n",
                 name.c_str(), GetLastError());
    CloseHandle(port);
    return INVALID_HANDLE_VALUE;
  }
  PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return port;
}

class VirtualScale {
 public:
  VirtualScale(HANDLE port, vscale::ScaleStream stream, const LineFormat& line)
      : port_(port),
        stream_(std::move(stream)),
        bytes_per_second_(line.baud / vscale::BitsPerChar(line)) {}

  int Run() {
    const Clock::time_point start = Clock::now();
    stream_.OnClientOpen();
    while (!quit_) {
      while (std::optional<std::string> line = commands_.Next()) Reply(RunCommand(*line));
      Receive();
      const std::int64_t elapsed_ns =
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
      if (!Send(elapsed_ns * bytes_per_second_ / 1000000000)) return 1;
      Sleep(1);
    }
    return 0;
  }

 private:
  std::string RunCommand(std::string_view line) {
    const auto [verb, arg] = vscale::SplitCommandLine(line);
    if (std::optional<std::string> reply = vscale::RunStateCommand(verb, arg, stream_)) {
      return *reply;
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

  // The requests that reached the scale since the last look.
  void Receive() {
    char data[256];
    DWORD n = 0;
    while (ReadFile(port_, data, sizeof data, &n, nullptr) && n > 0) {
      stream_.Receive(std::string_view(data, n));
    }
  }

  // Sends what the line would have carried by `due` bytes; false when the port failed.
  bool Send(std::int64_t due) {
    while (sent_ < due) {
      std::string chunk;
      while (chunk.size() < kChunkBytes && sent_ + static_cast<std::int64_t>(chunk.size()) < due) {
        const std::optional<char> byte = stream_.Next();
        if (!byte) break;
        chunk += *byte;
      }
      if (chunk.empty()) {  // the scale is quiet: time passes without bytes
        sent_ = due;
        return true;
      }
      DWORD written = 0;
      if (!WriteFile(port_, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr)) {
        std::fprintf(stderr, "virtual_scale: writing to the port failed (error %lu)\n",
                     GetLastError());
        return false;
      }
      sent_ += static_cast<std::int64_t>(chunk.size());
    }
    return true;
  }

  HANDLE port_;
  vscale::ScaleStream stream_;
  std::int64_t bytes_per_second_;
  // Never freed: its thread may still wait on stdin while the program ends.
  CommandLines& commands_ = *new CommandLines;
  std::int64_t sent_ = 0;
  bool quit_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  vscale::Options options;
  if (const std::optional<int> status =
          vscale::ParseArguments(argc, argv, {"--port"}, kUsage, options)) {
    return *status;
  }
  const std::string port_name = options.Text("--port");
  if (port_name.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  vscale::ScaleStream stream(*options.emulation, vscale::ScaleState{}, vscale::Mode::kNormal);
  if (!vscale::ApplyStateOptions(options, stream)) return 2;
  const LineFormat line = options.Line();
  HANDLE port = OpenPort(port_name, line);
  if (port == INVALID_HANDLE_VALUE) return 1;
  std::printf("%s\n", port_name.c_str());
  std::fflush(stdout);
  const int status = VirtualScale(port, std::move(stream), line).Run();
  CloseHandle(port);
  return status;
}
