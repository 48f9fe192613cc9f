// Figures of the weight service, on loopback only, bounded in time; it stops by itself.
//   1. stream latency: the virtual scale starts writing the first frame of a new weight ->
//      a WebSocket client receives it; with 1 client and with --clients clients
//   2. costs: service CPU per update fanned out to all clients, memory per idle connection
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
  std::string peer;  // the asyncio + websockets bridge; none: ours alone
  int clients = 1000, changes = 40, requests = 200, rounds = 5, updates = 40;
  std::vector<int> fan_out = {200, 1000};
  bool costs_only = false;
};

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
    if (arg == "--service") options.service = text;
    if (arg == "--peer") options.peer = text;
    if (arg == "--costs-only") options.costs_only = value != 0;
    if (arg == "--fan-out") {
      options.fan_out.clear();
      std::istringstream list(text);
      std::string count;
      while (std::getline(list, count, ',')) options.fan_out.push_back(std::stoi(count));
    }
  }
  return options;
}

struct Costs {
  double idle = 0;           // CPU seconds over the quiet stretch
  double busy = 0;           // CPU seconds over the same stretch with changes
  double per_update_ms = 0;  // (busy - idle) per change
  double messages_per_change = 0;
};

// CPU of `process` over a quiet stretch, then over the same stretch with `updates` weight
// changes, each fanned out to every subscriber.
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
  costs.per_update_ms = (costs.busy - costs.idle) * 1000.0 / updates;
  costs.messages_per_change = static_cast<double>(subscribers.messages() - messages0) /
                              static_cast<double>(clients) / updates;
  return costs;
}

void PrintCosts(const char* who, const Costs& costs, int updates) {
  std::printf(
      "  %-28s %7.3f ms per update  (CPU %.3f s quiet, %.3f s with %d changes; %.2f messages "
      "per client per change)\n",
      who, costs.per_update_ms, costs.idle, costs.busy, updates, costs.messages_per_change);
}

// The fan-out's CPU per delivered update, ours against the peer bridge doing the same job
// (it subscribes once to our stream and broadcasts each message to its own clients).
void CompareFanOut(const Options& options, qel::e2e::ScaleProcess& scale,
                   const ServiceProcess& service, const std::string& link, int clients) {
  const auto count = static_cast<std::size_t>(clients);
  std::printf("fan-out to %d WebSocket clients:\n", clients);
  Costs ours;
  {
    Subscribers subscribers(service.port(), link, count);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ours = MeasureCosts(service, scale, subscribers, count, options.updates, 50.0);
  }
  PrintCosts("qelscaled", ours, options.updates);
  if (options.peer.empty()) return;
  const std::string upstream =
      "ws://127.0.0.1:" + std::to_string(service.port()) + "/v1/stream?port=" + Encode(link);
  ServiceProcess bridge({"/usr/bin/python3", options.peer, upstream});
  Costs theirs;
  {
    Subscribers subscribers(bridge.port(), link, count);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    theirs = MeasureCosts(bridge, scale, subscribers, count, options.updates, 60.0);
  }
  PrintCosts("asyncio + websockets bridge", theirs, options.updates);
  std::printf("  ratio qelscaled / bridge: %.3f (aim: at most 0.2)\n",
              ours.per_update_ms / theirs.per_update_ms);
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
  const std::string link = dir + "/scale";
  const std::string timestamps = dir + "/timestamps";
  {
    qel::e2e::ScaleProcess scale(
        {"--weight", "1.0", "--symlink", link, "--timestamps", timestamps});
    ServiceProcess service(
        {options.service, "--listen", "127.0.0.1:0", "--stream", link, "--ws-queue", "256"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (!options.costs_only) StreamFigures(options, scale, service, link, timestamps);
    std::printf("\n== service CPU per update fanned out, %d changes 250 ms apart\n",
                options.updates);
    for (const int clients : options.fan_out) CompareFanOut(options, scale, service, link, clients);
  }
  if (!options.costs_only) SharedCycles(options, dir);
  std::string cleanup = "rm -rf " + dir;
  if (std::system(cleanup.c_str()) != 0) return 1;
  return 0;
}
