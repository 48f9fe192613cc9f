// Figures of the weight service, on loopback only, bounded in time; it stops by itself.
//   1. stream latency: the virtual scale starts writing the first frame of a new weight ->
//      a WebSocket client receives it; with 1 client and with --clients clients
//   2. costs: service CPU per update fanned out to all clients, memory per idle connection,
//      beside the floor (ws_floor.cpp: the least a program does for the same deliveries);
//      CPU while following the scale's frames with no client; with --instructions, the same
//      counted in instructions under callgrind, which scatter far less than CPU time
//   3. shared cycles: --requests simultaneous GET /v1/weight on an on-demand port: port
//      cycles and p50/p99
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "scale_process.h"

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// qelscaled, or the peer bridge, as a child process (args[0] is the program); its first
// stdout line names the address.
class ServiceProcess {
 public:
  explicit ServiceProcess(std::vector<std::string> args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      dup2(out[1], STDOUT_FILENO);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDERR_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    const std::size_t colon = line.rfind(':');
    if (line.rfind("listening on http://127.0.0.1:", 0) != 0 || colon == std::string::npos) {
      throw std::runtime_error(args[0] + " did not start: " + line);
    }
    port_ = static_cast<std::uint16_t>(std::stoi(line.substr(colon + 1)));
  }
  ~ServiceProcess() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  std::uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }

  // Time on a CPU of all its threads, in seconds, to the nanosecond (the scheduler's own
  // count: clock ticks are too coarse for a few milliseconds per update).
  double CpuSeconds() const {
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
    double total = 0;
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      std::ifstream in(task.path() / "schedstat");
      double ns = 0;
      if (in >> ns) total += ns / 1e9;
    }
    return total;
  }
  long RssKib() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
  }

 private:
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

std::string Get(std::uint16_t port, const std::string& target) {
  net::io_context ioc;
  tcp::socket socket(ioc);
  socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  http::request<http::empty_body> request(http::verb::get, target, 11);
  request.set(http::field::host, "127.0.0.1");
  http::write(socket, request);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(socket, buffer, response);
  return response.body();
}

long Metric(std::uint16_t port, const std::string& prefix) {
  std::istringstream text(Get(port, "/metrics"));
  std::string line;
  while (std::getline(text, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(line.rfind(' ') + 1));
  }
  return -1;
}

std::string Encode(const std::string& text) {
  std::string out;
  char hex[4];
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// WebSocket subscribers on one io_context thread; each notes when it first sees `target`.
class Subscribers {
 public:
  Subscribers(std::uint16_t port, const std::string& device, std::size_t count) {
    const std::string target = "/v1/stream?port=" + Encode(device);
    for (std::size_t i = 0; i < count; ++i) {
      auto client = std::make_unique<Client>(ioc_);
      client->ws.next_layer().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
      client->ws.next_layer().set_option(tcp::no_delay(true));
      client->ws.handshake("127.0.0.1", target);
      clients_.push_back(std::move(client));
    }
    for (auto& client : clients_) Read(*client);
    thread_ = std::thread([this] { ioc_.run(); });
  }
  ~Subscribers() {
    ioc_.stop();
    thread_.join();
  }

  // Arms every client for the message that carries `value` ("1.125").
  void Expect(const std::string& value) {
    needle_ = "\"value\":" + value + ",";
    seen_ = 0;
    for (auto& client : clients_) client->received_ns = 0;
    armed_.store(true, std::memory_order_release);
  }
  bool WaitAll(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (seen_.load(std::memory_order_acquire) < clients_.size()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    armed_ = false;
    return true;
  }
  std::vector<std::int64_t> Received() const {
    std::vector<std::int64_t> times;
    for (const auto& client : clients_) times.push_back(client->received_ns);
    return times;
  }
  std::uint64_t messages() const { return messages_; }

 private:
  struct Client {
    explicit Client(net::io_context& ioc) : ws(ioc) {}
    websocket::stream<tcp::socket> ws;
    beast::flat_buffer buffer;
    std::int64_t received_ns = 0;
  };

  void Read(Client& client) {
    client.ws.async_read(client.buffer, [this, &client](beast::error_code ec, std::size_t) {
      if (ec) return;
      const std::int64_t now = NowNs();
      ++messages_;
      if (armed_.load(std::memory_order_acquire) && client.received_ns == 0) {
        const auto data = client.buffer.data();
        const std::string_view text(static_cast<const char*>(data.data()), data.size());
        if (text.find(needle_) != std::string_view::npos) {
          client.received_ns = now;
          seen_.fetch_add(1, std::memory_order_acq_rel);
        }
      }
      client.buffer.consume(client.buffer.size());
      Read(client);
    });
  }

  net::io_context ioc_{1};
  std::vector<std::unique_ptr<Client>> clients_;
  std::thread thread_;
  std::string needle_;
  std::atomic<bool> armed_{false};
  std::atomic<std::size_t> seen_{0};
  std::atomic<std::uint64_t> messages_{0};
};

// The CLOCK_MONOTONIC time at which the scale began the first frame of `weight_text`.
std::int64_t WrittenAt(const std::string& file, const std::string& weight_text) {
  std::ifstream in(file);
  std::string text, line;
  std::int64_t at = 0;
  while (std::getline(in, line)) {
    if (line.rfind(weight_text + " ", 0) == 0) at = std::stoll(line.substr(weight_text.size() + 1));
  }
  return at;
}

struct Figures {
  std::vector<double> latencies_ms;
  int missed = 0;
};

Figures MeasureLatency(qel::e2e::ScaleProcess& scale, Subscribers& subscribers,
                       const std::string& timestamps, int changes, int first_index) {
  Figures figures;
  for (int i = 0; i < changes; ++i) {
    char value[16], shown[16];
    const double weight = 1.0 + 0.125 * (first_index + i);
    std::snprintf(value, sizeof value, "%.3f", weight);
    std::snprintf(shown, sizeof shown, "%07.3f", weight);
    subscribers.Expect(value);
    scale.Command(std::string("weight ") + value);
    if (!subscribers.WaitAll(std::chrono::milliseconds(3000))) {
      ++figures.missed;
      continue;
    }
    std::int64_t written = 0;
    for (int tries = 0; tries < 100 && written == 0; ++tries) {
      written = WrittenAt(timestamps, shown);
      if (written == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (const std::int64_t received : subscribers.Received()) {
      figures.latencies_ms.push_back(static_cast<double>(received - written) / 1e6);
    }
    // A different phase against the frame clock each time.
    std::this_thread::sleep_for(std::chrono::milliseconds(60 + (i * 37) % 90));
  }
  return figures;
}

void PrintLatency(const char* what, const Figures& figures) {
  std::printf("%-34s median %6.2f ms  p99 %6.2f ms  max %6.2f ms  (%zu samples, %d missed)\n", what,
              qel::bench::Quantile(figures.latencies_ms, 0.5),
              qel::bench::Quantile(figures.latencies_ms, 0.99),
              qel::bench::Quantile(figures.latencies_ms, 1.0), figures.latencies_ms.size(),
              figures.missed);
}

// `count` simultaneous GET /v1/weight: the time of each answer after all were sent.
std::vector<double> SimultaneousGets(std::uint16_t port, const std::string& device, int count) {
  net::io_context ioc;
  struct Request {
    explicit Request(net::io_context& ioc) : socket(ioc) {}
    tcp::socket socket;
    http::request<http::empty_body> request;
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    std::int64_t sent = 0, answered = 0;
  };
  std::vector<std::unique_ptr<Request>> requests;
  for (int i = 0; i < count; ++i) {
    auto r = std::make_unique<Request>(ioc);
    r->socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    r->request =
        http::request<http::empty_body>(http::verb::get, "/v1/weight?port=" + Encode(device), 11);
    r->request.set(http::field::host, "127.0.0.1");
    requests.push_back(std::move(r));
  }
  for (auto& r : requests) {
    Request* raw = r.get();
    raw->sent = NowNs();
    http::async_write(raw->socket, raw->request, [raw](beast::error_code ec, std::size_t) {
      if (ec) return;
      http::async_read(raw->socket, raw->buffer, raw->response,
                       [raw](beast::error_code ec2, std::size_t) {
                         if (!ec2) raw->answered = NowNs();
                       });
    });
  }
  ioc.run_for(std::chrono::seconds(10));
  std::vector<double> times;
  for (auto& r : requests) {
    if (r->answered != 0 && r->response.body().find("\"ok\":true") != std::string::npos) {
      times.push_back(static_cast<double>(r->answered - r->sent) / 1e6);
    }
  }
  return times;
}

struct Options {
  std::string service = QELSCALED_PATH;
  std::string floor = QEL_FLOOR_PATH;  // the one-thread peer; "none": ours alone
  std::string peer;                    // the asyncio + websockets bridge; none: not run
  int clients = 1000, changes = 40, requests = 200, rounds = 5, updates = 40;
  int cost_rounds = 3;        // CPU-time rounds per program and client count (medians)
  int instructions = 0;       // updates per callgrind window; 0: no instruction counts
  int follow_seconds = 5;     // each quiet stretch with no client
  std::string callgrind_dir;  // where the callgrind dumps are kept; none: removed at the end
  std::vector<int> fan_out = {1, 200, 1000};
  bool costs_only = false;
};

std::vector<int> List(const std::string& text) {
  std::vector<int> values;
  std::istringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) values.push_back(std::stoi(item));
  return values;
}

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const std::string text = argv[i + 1];
    const int value = std::atoi(argv[i + 1]);
    if (arg == "--clients") options.clients = value;
    if (arg == "--changes") options.changes = value;
    if (arg == "--requests") options.requests = value;
    if (arg == "--rounds") options.rounds = value;
    if (arg == "--updates") options.updates = value;
    if (arg == "--cost-rounds") options.cost_rounds = value;
    if (arg == "--instructions") options.instructions = value;
    if (arg == "--follow-seconds") options.follow_seconds = value;
    if (arg == "--service") options.service = text;
    if (arg == "--floor") options.floor = text;
    if (arg == "--callgrind-dir") options.callgrind_dir = text;
    if (arg == "--peer") options.peer = text;
    if (arg == "--costs-only") options.costs_only = value != 0;
    if (arg == "--fan-out") options.fan_out = List(text);
  }
  return options;
}

struct Costs {
  double idle = 0;           // CPU seconds over the quiet stretch
  double busy = 0;           // CPU seconds over the same stretch with changes
  double delivered = 0;      // messages each client received over the busy stretch
  double per_update_ms = 0;  // (busy - idle) per delivered update
};

// CPU of `process` over a quiet stretch, then over the same stretch with `updates` weight
// changes, each fanned out to every subscriber (a change may bring a second message when the
// weight turns stable).
Costs MeasureCosts(const ServiceProcess& process, qel::e2e::ScaleProcess& scale,
                   Subscribers& subscribers, std::size_t clients, int updates, double base) {
  const auto spacing = std::chrono::milliseconds(250);
  Costs costs;
  const double idle0 = process.CpuSeconds();
  std::this_thread::sleep_for(spacing * updates);
  costs.idle = process.CpuSeconds() - idle0;
  const std::uint64_t messages0 = subscribers.messages();
  const double busy0 = process.CpuSeconds();
  for (int i = 0; i < updates; ++i) {
    char value[16];
    std::snprintf(value, sizeof value, "%.3f", base + 0.125 * i);
    scale.Command(std::string("weight ") + value);
    std::this_thread::sleep_for(spacing);
  }
  costs.busy = process.CpuSeconds() - busy0;
  costs.delivered =
      static_cast<double>(subscribers.messages() - messages0) / static_cast<double>(clients);
  costs.per_update_ms = (costs.busy - costs.idle) * 1000.0 / std::max(costs.delivered, 1.0);
  return costs;
}

// A program under test, with a virtual scale of its own: the service, or a peer.
struct Peer {
  std::string name;
  std::unique_ptr<qel::e2e::ScaleProcess> scale;
  std::unique_ptr<ServiceProcess> process;
  std::string link;
};

Peer StartPeer(const std::string& name, const std::vector<std::string>& prefix,
               const std::vector<std::string>& program, const std::string& link) {
  Peer peer;
  peer.name = name;
  peer.link = link;
  peer.scale = std::make_unique<qel::e2e::ScaleProcess>(
      std::vector<std::string>{"--weight", "1.0", "--symlink", link});
  std::vector<std::string> args = prefix;
  args.insert(args.end(), program.begin(), program.end());
  peer.process = std::make_unique<ServiceProcess>(args);
  return peer;
}

std::vector<std::string> ServiceArgs(const Options& options, const std::string& link) {
  return {options.service, "--listen", "127.0.0.1:0", "--stream", link, "--ws-queue", "256"};
}

// CPU per delivered update at each client count, median of --cost-rounds, for every peer.
void CpuPerUpdate(const Options& options, std::vector<Peer>& peers) {
  std::printf(
      "\n== CPU per delivered update (schedstat), %d changes 250 ms apart, median of %d rounds\n",
      options.updates, options.cost_rounds);
  for (const int clients : options.fan_out) {
    std::vector<double> medians;
    for (Peer& peer : peers) {
      const auto count = static_cast<std::size_t>(clients);
      Subscribers subscribers(peer.process->port(), peer.link, count);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      std::vector<double> per_update, delivered;
      for (int round = 0; round < options.cost_rounds; ++round) {
        const Costs costs = MeasureCosts(*peer.process, *peer.scale, subscribers, count,
                                         options.updates, 50.0 + 10.0 * round);
        per_update.push_back(costs.per_update_ms);
        delivered.push_back(costs.delivered);
      }
      medians.push_back(qel::bench::Quantile(per_update, 0.5));
      std::printf("  %5d clients  %-28s %8.3f ms per update (min %.3f, max %.3f; %.0f updates)\n",
                  clients, peer.name.c_str(), medians.back(), qel::bench::Quantile(per_update, 0),
                  qel::bench::Quantile(per_update, 1), qel::bench::Quantile(delivered, 0.5));
    }
    for (std::size_t i = 1; i < peers.size(); ++i) {
      std::printf("  %5d clients  ratio %s / %s: %.2f (aim: at most 1.5 against the floor)\n",
                  clients, peers[0].name.c_str(), peers[i].name.c_str(), medians[0] / medians[i]);
    }
  }
}

// CPU while following the scale's frames with no client, median of --cost-rounds.
void CpuFollowing(const Options& options, std::vector<Peer>& peers) {
  std::printf(
      "\n== CPU following the scale's frames with no client, %d s stretches, median of %d\n",
      options.follow_seconds, options.cost_rounds);
  std::vector<double> medians;
  for (Peer& peer : peers) {
    std::vector<double> ms_per_s;
    for (int round = 0; round < options.cost_rounds; ++round) {
      const double cpu0 = peer.process->CpuSeconds();
      std::this_thread::sleep_for(std::chrono::seconds(options.follow_seconds));
      ms_per_s.push_back((peer.process->CpuSeconds() - cpu0) * 1000.0 / options.follow_seconds);
    }
    medians.push_back(qel::bench::Quantile(ms_per_s, 0.5));
    std::printf("  %-28s %7.3f ms CPU per second (min %.3f, max %.3f)\n", peer.name.c_str(),
                medians.back(), qel::bench::Quantile(ms_per_s, 0),
                qel::bench::Quantile(ms_per_s, 1));
  }
  for (std::size_t i = 1; i < peers.size(); ++i) {
    std::printf("  ratio %s / %s: %.2f (aim: at most 1.5 against the floor)\n",
                peers[0].name.c_str(), peers[i].name.c_str(), medians[0] / medians[i]);
  }
}

// The Ir total since the last zeroing, dumped by callgrind_control.
double DumpInstructions(pid_t pid, const std::string& out_file, int& dumps) {
  const std::string command = "callgrind_control -d " + std::to_string(pid) + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("callgrind_control failed");
  const std::string dump = out_file + "." + std::to_string(++dumps);
  for (int tries = 0; tries < 200; ++tries) {
    std::ifstream in(dump);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("totals: ", 0) == 0) return std::stod(line.substr(8));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("no callgrind dump " + dump);
}

void ZeroInstructions(pid_t pid) {
  const std::string command = "callgrind_control -z " + std::to_string(pid) + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("callgrind_control failed");
}

struct Counted {
  double follow_per_s = 0;  // instructions per second with nothing changing
  double per_update = 0;    // instructions per delivered update, following subtracted
};

// Instructions of a program run under callgrind: a quiet stretch, then `updates` changes,
// each waited for at every client before the next; the busy stretch less its time's share of
// following, per delivered update.
Counted CountInstructions(Peer& peer, const std::string& out_file, int& dumps,
                          Subscribers* subscribers, std::size_t clients, int updates) {
  using Clock = std::chrono::steady_clock;
  const pid_t pid = peer.process->pid();
  Counted counted;
  ZeroInstructions(pid);
  const auto quiet0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(4));
  const double quiet = DumpInstructions(pid, out_file, dumps);
  const double quiet_s = std::chrono::duration<double>(Clock::now() - quiet0).count();
  counted.follow_per_s = quiet / quiet_s;
  if (subscribers == nullptr) return counted;
  const std::uint64_t messages0 = subscribers->messages();
  ZeroInstructions(pid);
  const auto busy0 = Clock::now();
  for (int i = 0; i < updates; ++i) {
    char value[16];
    std::snprintf(value, sizeof value, "%.3f", 70.0 + 0.125 * i);
    subscribers->Expect(value);
    peer.scale->Command(std::string("weight ") + value);
    // Back to back: the following's share of the stretch stays small beside the fan-out.
    subscribers->WaitAll(std::chrono::milliseconds(20000));
  }
  const double busy = DumpInstructions(pid, out_file, dumps);
  const double busy_s = std::chrono::duration<double>(Clock::now() - busy0).count();
  const double delivered =
      static_cast<double>(subscribers->messages() - messages0) / static_cast<double>(clients);
  counted.per_update = (busy - counted.follow_per_s * busy_s) / std::max(delivered, 1.0);
  return counted;
}

// Instruction counts under callgrind, repeatable where CPU time scatters: following with no
// client, and per delivered update at each client count.
void Instructions(const Options& options, const std::string& dir) {
  std::printf(
      "\n== instructions (callgrind), each program alone under valgrind; %d updates per count\n",
      options.instructions);
  struct Row {
    double follow = 0;
    std::vector<double> per_update;
  };
  std::vector<std::pair<std::string, Row>> rows;
  for (const bool floor : {false, true}) {
    if (floor && options.floor == "none") break;
    const std::string link = dir + (floor ? "/cg-floor-scale" : "/cg-scale");
    const std::string out_file = (options.callgrind_dir.empty() ? dir : options.callgrind_dir) +
                                 (floor ? "/cg-floor.out" : "/cg-service.out");
    const std::vector<std::string> prefix = {"/usr/bin/valgrind", "--tool=callgrind",
                                             "--dump-instr=no", "--callgrind-out-file=" + out_file};
    Peer peer = floor ? StartPeer("floor", prefix, {options.floor, link}, link)
                      : StartPeer("qelscaled", prefix, ServiceArgs(options, link), link);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    int dumps = 0;
    Row row;
    row.follow = CountInstructions(peer, out_file, dumps, nullptr, 0, 0).follow_per_s;
    for (const int clients : options.fan_out) {
      const auto count = static_cast<std::size_t>(clients);
      Subscribers subscribers(peer.process->port(), link, count);
      std::this_thread::sleep_for(std::chrono::seconds(1));
      row.per_update.push_back(
          CountInstructions(peer, out_file, dumps, &subscribers, count, options.instructions)
              .per_update);
    }
    rows.emplace_back(peer.name, row);
  }
  std::printf("  %-12s %16s", "", "following/s");
  for (const int clients : options.fan_out) std::printf("  %9d clients", clients);
  std::printf("   (instructions per second; per delivered update)\n");
  for (const auto& [name, row] : rows) {
    std::printf("  %-12s %16.0f", name.c_str(), row.follow);
    for (const double n : row.per_update) std::printf("  %17.0f", n);
    std::printf("\n");
  }
  if (rows.size() < 2) return;
  std::printf("  %-12s %16.2f", "ratio", rows[0].second.follow / rows[1].second.follow);
  for (std::size_t i = 0; i < options.fan_out.size(); ++i) {
    std::printf("  %17.2f", rows[0].second.per_update[i] / rows[1].second.per_update[i]);
  }
  std::printf("   (aim: at most 1.5)\n");
}

// The fan-out's CPU per delivered update against the asyncio + websockets bridge doing the
// same job (it subscribes once to our stream and broadcasts each message to its own clients).
void CompareBridge(const Options& options, Peer& service, int clients) {
  const auto count = static_cast<std::size_t>(clients);
  const std::string upstream = "ws://127.0.0.1:" + std::to_string(service.process->port()) +
                               "/v1/stream?port=" + Encode(service.link);
  ServiceProcess bridge({"/usr/bin/python3", options.peer, upstream});
  Subscribers subscribers(bridge.port(), service.link, count);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const Costs theirs =
      MeasureCosts(bridge, *service.scale, subscribers, count, options.updates, 60.0);
  std::printf("  %5d clients  %-28s %8.3f ms per update (%.0f updates)\n", clients,
              "asyncio + websockets bridge", theirs.per_update_ms, theirs.delivered);
}

void StreamFigures(const Options& options, qel::e2e::ScaleProcess& scale,
                   const ServiceProcess& service, const std::string& link,
                   const std::string& timestamps) {
  std::printf(
      "== stream latency: scale starts the first frame of a new weight -> WebSocket "
      "client has it\n   (one frame at 9600 baud: 8.3 ms; aim: median <= 10.3 ms, "
      "p99 <= 25 ms)\n");
  {
    Subscribers one(service.port(), link, 1);
    PrintLatency("1 client", MeasureLatency(scale, one, timestamps, options.changes, 1));
  }
  const long rss_before = service.RssKib();
  Subscribers many(service.port(), link, static_cast<std::size_t>(options.clients));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long rss_connected = service.RssKib();
  char what[64];
  std::snprintf(what, sizeof what, "%d clients", options.clients);
  PrintLatency(what, MeasureLatency(scale, many, timestamps, options.changes, options.changes + 1));
  std::printf("memory per idle WebSocket connection: %.1f KiB (RSS %ld -> %ld KiB for %d)\n",
              static_cast<double>(rss_connected - rss_before) / options.clients, rss_before,
              rss_connected, options.clients);
}

void SharedCycles(const Options& options, const std::string& dir) {
  std::printf(
      "\n== shared cycles: %d simultaneous GET /v1/weight on an on-demand port, "
      "%d rounds\n",
      options.requests, options.rounds);
  const std::string on_demand = dir + "/on-demand";
  qel::e2e::ScaleProcess demand_scale({"--weight", "2.5", "--symlink", on_demand});
  ServiceProcess demand({options.service, "--listen", "127.0.0.1:0", "--port", on_demand});
  const std::string label = "qelscaled_cycles_total{port=\"" + on_demand + "\"}";
  std::vector<double> all;
  for (int round = 0; round < options.rounds; ++round) {
    const long before = Metric(demand.port(), label);
    const std::vector<double> times = SimultaneousGets(demand.port(), on_demand, options.requests);
    const long cycles = Metric(demand.port(), label) - before;
    std::printf(
        "round %d: %zu/%d answered with a weight, %ld port cycles, p50 %.0f ms, "
        "p99 %.0f ms\n",
        round + 1, times.size(), options.requests, cycles, qel::bench::Quantile(times, 0.5),
        qel::bench::Quantile(times, 0.99));
    all.insert(all.end(), times.begin(), times.end());
  }
  std::printf("all rounds: p50 %.0f ms, p99 %.0f ms (one cycle: 600 ms pause + read)\n",
              qel::bench::Quantile(all, 0.5), qel::bench::Quantile(all, 0.99));
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  char dir_template[] = "/tmp/qel-service-bench-XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  if (!options.costs_only) {
    const std::string link = dir + "/scale";
    const std::string timestamps = dir + "/timestamps";
    qel::e2e::ScaleProcess scale(
        {"--weight", "1.0", "--symlink", link, "--timestamps", timestamps});
    ServiceProcess service(ServiceArgs(options, link));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    StreamFigures(options, scale, service, link, timestamps);
  }
  {
    // Side by side: each program on a virtual scale of its own at 120 frames/s.
    std::vector<Peer> peers;
    const std::string link = dir + "/cost-scale";
    peers.push_back(StartPeer("qelscaled", {}, ServiceArgs(options, link), link));
    if (options.floor != "none") {
      const std::string floor_link = dir + "/floor-scale";
      peers.push_back(StartPeer("floor", {}, {options.floor, floor_link}, floor_link));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    CpuFollowing(options, peers);
    CpuPerUpdate(options, peers);
    if (!options.peer.empty()) {
      std::printf("\n== the same fan-out through an asyncio + websockets bridge\n");
      for (const int clients : options.fan_out) CompareBridge(options, peers[0], clients);
    }
  }
  if (options.instructions > 0) Instructions(options, dir);
  if (!options.costs_only) SharedCycles(options, dir);
  std::string cleanup = "rm -rf " + dir;
  if (std::system(cleanup.c_str()) != 0) return 1;
  return 0;
}
