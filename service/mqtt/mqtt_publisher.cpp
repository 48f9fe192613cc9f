#include "mqtt_publisher.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "prometheus_text.h"

namespace qeld::mqtt {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kKeepAliveSeconds = 10;
constexpr Clock::duration kFirstRetry = 500ms;
constexpr Clock::duration kMaxRetry = 15s;
constexpr Clock::duration kConnectTimeout = 10s;
constexpr Clock::duration kShutdownWait = 1s;
constexpr int kIdlePollMs = 1000;  // keep-alive pings are due far less often
constexpr char kOnline[] = "online";
constexpr char kOffline[] = "offline";

int Milliseconds(Clock::duration d) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

std::string Seconds(Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(Milliseconds(d)) / 1000.0);
  return text;
}

}  // namespace

struct Publisher::Engine {
  struct Port {
    std::string topic;
    std::string json;
    bool dirty = false;
  };

  Settings settings;
  Log log;
  std::string status_topic;
  std::string client_id;
  int wake_read = -1;
  int wake_write = -1;

  // Shared with the callers of Publish() and GetStats().
  mutable std::mutex mutex;
  std::map<std::string, Port> ports;
  bool stop = false;
  Stats stats;

  // The publisher thread's own. A fresh client handle for every connection, so that nothing a
  // lost connection had queued is sent again after a reconnect.
  mosquitto* client = nullptr;
  bool connected = false;    // CONNACK accepted on `client`
  int connack = -1;          // the CONNACK code on `client`; -1 before it arrives
  std::string error_logged;  // the last error libmosquitto logged on `client`
  int in_flight = 0;         // QoS 1 messages not yet acknowledged on `client`
  std::string cursor;        // the port published last, for round-robin under back pressure
  Clock::time_point attempt_start;
  Clock::time_point next_attempt;
  Clock::duration retry_delay = kFirstRetry;
  std::string last_problem;  // logged once until something changes
  std::minstd_rand random{std::random_device{}()};

  std::thread thread;

  Engine(Settings s, Log l) : settings(std::move(s)), log(std::move(l)) {
    if (!log) log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    status_topic = StatusTopic(settings.station);
    client_id = "qel-" + EscapeTopicLevel(settings.station) + "-" + std::to_string(getpid());
  }

  void Wake() const {
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing to do then.
    if (write(wake_write, &byte, 1) < 0) return;
  }

  void Run() {
    // A write to a socket the broker closed must end in EPIPE, not kill the process. SIGPIPE
    // raised by a write is delivered to the writing thread, so blocking it here is enough.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

    next_attempt = Clock::now();
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (stop) break;
      }
      const Clock::time_point now = Clock::now();
      if (client == nullptr && now >= next_attempt) StartConnect();
      if (client != nullptr && !connected && now - attempt_start > kConnectTimeout)
        Fail("no answer from the broker within " + Seconds(kConnectTimeout));
      if (client != nullptr && !connected && connack == 0) Connected();
      if (connected) PublishDirty();

      pollfd fds[2] = {{wake_read, POLLIN, 0}, {-1, 0, 0}};
      nfds_t count = 1;
      int timeout = kIdlePollMs;
      if (client != nullptr) {
        const int socket = mosquitto_socket(client);
        if (socket >= 0) {
          fds[1] = {socket,
                    static_cast<short>(POLLIN | (mosquitto_want_write(client) ? POLLOUT : 0)), 0};
          count = 2;
        }
      } else {
        timeout = std::clamp(Milliseconds(next_attempt - now) + 1, 0, kIdlePollMs);
      }
      if (poll(fds, count, timeout) < 0 && errno != EINTR) {
        Fail(std::string("poll failed: ") + std::strerror(errno));
        continue;
      }
      if (fds[0].revents & POLLIN) {
        char drain[64];
        while (read(wake_read, drain, sizeof drain) > 0) {
        }
      }
      if (client == nullptr) continue;
      if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) &&
          !Step(mosquitto_loop_read(client, 1)))
        continue;
      if (count == 2 && (fds[1].revents & POLLOUT) && !Step(mosquitto_loop_write(client, 1)))
        continue;
      Step(mosquitto_loop_misc(client));
    }
    Shutdown();
  }

  // Checks the result of one libmosquitto step; false when the connection is gone.
  bool Step(int rc) {
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(client) >= 0) return true;
    const int saved_errno = errno;
    Fail(Describe(rc, saved_errno));
    return false;
  }

  std::string Describe(int rc, int saved_errno) const {
    const std::string where =
        (connected ? "lost the connection to " : "cannot connect to ") + settings.url + ": ";
    switch (rc) {
      case MOSQ_ERR_SUCCESS:
        return where + "the connection closed";
      case MOSQ_ERR_CONN_REFUSED: {
        std::string line = where + "the broker refused the connection: ";
        line += connack > 0 ? mosquitto_connack_string(connack) : "no reason given";
        if (connack == 4 || connack == 5)
          line += " Check the user name and password in --mqtt-password-file.";
        return line;
      }
      case MOSQ_ERR_TLS:
        return where + "TLS failed" + (error_logged.empty() ? "" : " (" + error_logged + ")") +
               (settings.ca_file.empty() ? "" : "; CA file " + settings.ca_file);
      case MOSQ_ERR_ERRNO:
        return where + std::strerror(saved_errno);
      case MOSQ_ERR_EAI:
        return where + "cannot resolve the host name " + settings.host;
      default: {
        std::string text = mosquitto_strerror(rc);
        if (!text.empty() && text.back() == '.') text.pop_back();
        return where + text;
      }
    }
  }

  void StartConnect() {
    client = mosquitto_new(client_id.c_str(), true, this);
    if (client == nullptr) {
      Fail("cannot create an MQTT client: " + std::string(std::strerror(errno)));
      return;
    }
    connected = false;
    connack = -1;
    error_logged.clear();
    in_flight = 0;
    attempt_start = Clock::now();
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client, &Engine::OnConnect);
    mosquitto_publish_callback_set(client, &Engine::OnPublish);
    mosquitto_log_callback_set(client, &Engine::OnLog);
    int rc =
        mosquitto_will_set(client, status_topic.c_str(), sizeof kOffline - 1, kOffline, 1, true);
    if (rc == MOSQ_ERR_SUCCESS && settings.username)
      rc = mosquitto_username_pw_set(client, settings.username->c_str(),
                                     settings.password ? settings.password->c_str() : nullptr);
    if (rc == MOSQ_ERR_SUCCESS && settings.tls) {
      rc = settings.ca_file.empty() ? mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                                    : mosquitto_tls_set(client, settings.ca_file.c_str(), nullptr,
                                                        nullptr, nullptr, nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS)
      rc = mosquitto_connect_async(client, settings.host.c_str(), settings.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
      const int saved_errno = errno;
      Fail(Describe(rc, saved_errno));
    }
  }

  // Drops the connection and schedules the next attempt, with backoff and some jitter so that a
  // fleet does not return to a restarted broker all in the same instant.
  void Fail(const std::string& problem) {
    if (client != nullptr) mosquitto_destroy(client);
    client = nullptr;
    connected = false;
    in_flight = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      stats.connected = false;
    }
    std::uniform_int_distribution<int> jitter(80, 120);
    const Clock::duration delay = retry_delay * jitter(random) / 100;
    next_attempt = Clock::now() + delay;
    retry_delay = std::min(retry_delay * 2, kMaxRetry);
    if (problem != last_problem) log("mqtt: " + problem + "; retrying in " + Seconds(delay));
    last_problem = problem;
  }

  void Connected() {
    connected = true;
    retry_delay = kFirstRetry;
    last_problem.clear();
    {
      std::lock_guard<std::mutex> lock(mutex);
      stats.connected = true;
      ++stats.connects;
      for (auto& entry : ports) entry.second.dirty = true;  // the current state, once
    }
    if (mosquitto_publish(client, nullptr, status_topic.c_str(), sizeof kOnline - 1, kOnline, 1,
                          true) == MOSQ_ERR_SUCCESS)
      ++in_flight;
    log("mqtt: connected to " + settings.url + " as station " + settings.station + " (" +
        status_topic + ")");
  }

  // Sends the ports whose state changed, newest state only, round-robin from the one after the
  // last sent, as long as fewer than kMaxInFlight messages wait for their acknowledgement.
  void PublishDirty() {
    std::vector<std::pair<std::string, std::string>> batch;  // topic, JSON
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (ports.empty()) return;
      auto it = ports.upper_bound(cursor);
      for (std::size_t seen = 0; seen < ports.size(); ++seen, ++it) {
        if (in_flight + static_cast<int>(batch.size()) >= kMaxInFlight) break;
        if (it == ports.end()) it = ports.begin();
        if (!it->second.dirty) continue;
        it->second.dirty = false;
        batch.emplace_back(it->second.topic, it->second.json);
        cursor = it->first;
      }
    }
    for (const auto& [topic, json] : batch) {
      const int rc = mosquitto_publish(client, nullptr, topic.c_str(),
                                       static_cast<int>(json.size()), json.data(), 1, true);
      if (rc != MOSQ_ERR_SUCCESS) return;  // the connection is going; a reconnect sends all again
      ++in_flight;
      std::lock_guard<std::mutex> lock(mutex);
      ++stats.published;
    }
  }

  void Shutdown() {
    if (client != nullptr && connected) {
      // A clean disconnect cancels the last will, so say "offline" first.
      mosquitto_publish(client, nullptr, status_topic.c_str(), sizeof kOffline - 1, kOffline, 1,
                        true);
      mosquitto_disconnect(client);
      const Clock::time_point deadline = Clock::now() + kShutdownWait;
      while (mosquitto_socket(client) >= 0 && mosquitto_want_write(client) &&
             Clock::now() < deadline) {
        pollfd fd{mosquitto_socket(client), POLLOUT, 0};
        if (poll(&fd, 1, 50) > 0 && mosquitto_loop_write(client, 1) != MOSQ_ERR_SUCCESS) break;
      }
    }
    if (client != nullptr) mosquitto_destroy(client);
    client = nullptr;
  }

  // Only notes the answer: the loop acts on it outside libmosquitto's callback locks.
  static void OnConnect(mosquitto*, void* self, int code) {
    static_cast<Engine*>(self)->connack = code;
  }

  static void OnPublish(mosquitto*, void* self, int) {
    auto* engine = static_cast<Engine*>(self);
    if (engine->in_flight > 0) --engine->in_flight;
  }

  static void OnLog(mosquitto*, void* self, int level, const char* text) {
    if ((level & MOSQ_LOG_ERR) != 0) static_cast<Engine*>(self)->error_logged = text;
  }
};

Publisher::Publisher(Settings settings, Log log)
    : engine_(std::make_unique<Engine>(std::move(settings), std::move(log))) {
  static std::once_flag library_once;
  std::call_once(library_once, [] { mosquitto_lib_init(); });
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("mqtt: pipe: ") + std::strerror(errno));
  engine_->wake_read = pipe_fds[0];
  engine_->wake_write = pipe_fds[1];
  engine_->thread = std::thread([engine = engine_.get()] { engine->Run(); });
}

Publisher::~Publisher() {
  {
    std::lock_guard<std::mutex> lock(engine_->mutex);
    engine_->stop = true;
  }
  engine_->Wake();
  engine_->thread.join();
  close(engine_->wake_read);
  close(engine_->wake_write);
}

void Publisher::Publish(const std::string& port, std::string json) {
  {
    std::lock_guard<std::mutex> lock(engine_->mutex);
    Engine::Port& entry = engine_->ports[port];
    if (entry.topic.empty()) entry.topic = WeightTopic(engine_->settings.station, port);
    entry.json = std::move(json);
    entry.dirty = true;
  }
  engine_->Wake();
}

Publisher::Stats Publisher::GetStats() const {
  std::lock_guard<std::mutex> lock(engine_->mutex);
  return engine_->stats;
}

std::string Publisher::Metrics() const {
  const Stats stats = GetStats();
  PrometheusText out;
  out.Family("qelscaled_mqtt_connected", "1 while the MQTT broker has accepted the connection.",
             "gauge");
  out.Sample(stats.connected ? 1 : 0);
  out.Family("qelscaled_mqtt_connects_total", "Connections the MQTT broker accepted.", "counter");
  out.Sample(stats.connects);
  out.Family("qelscaled_mqtt_published_total", "Weight messages handed to the MQTT broker.",
             "counter");
  out.Sample(stats.published);
  return out.text();
}

}  // namespace qeld::mqtt
