// What the service manager's run of qelscaled relies on beside the server: a stop asked for
// from another thread before, during or after Serve() attaches; the log handing every line,
// in order and with its severity, to the output the host chose; refused requests in that log
// without flooding it; and the machine's ports as /v1/ports lists them.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "available_ports.h"
#include "log_sink.h"
#include "refusal_log.h"
#include "serve_control.h"

namespace {

TEST(ServeControl, StopsWhateverTheOrderOfStopAndAttach) {
  {
    qeld::ServeControl control;
    int stops = 0;
    control.Attach([&] { ++stops; });
    control.Stop();
    control.Stop();  // the handler may be called again while stopping
    EXPECT_EQ(stops, 1);
  }
  {
    // STOP can come while the service is still starting: it takes effect once Serve()
    // attaches, rather than being lost and leaving the service running.
    qeld::ServeControl control;
    control.Stop();
    int stops = 0;
    control.Attach([&] { ++stops; });
    EXPECT_EQ(stops, 1);
  }
  {
    // After Serve() returns, its loop is gone: a late stop must not reach it.
    qeld::ServeControl control;
    int stops = 0;
    control.Attach([&] { ++stops; });
    control.Detach();
    control.Stop();
    EXPECT_EQ(stops, 0);
  }
}

TEST(ServeControl, StopFromManyThreadsRunsOnce) {
  qeld::ServeControl control;
  std::mutex mutex;
  int stops = 0;
  control.Attach([&] {
    std::lock_guard<std::mutex> lock(mutex);
    ++stops;
  });
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { control.Stop(); });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(stops, 1);
}

using Written = std::vector<std::pair<qeld::Severity, std::string>>;

TEST(QueueLog, HandsEveryLineToItsOutputInOrderWithItsSeverity) {
  std::mutex mutex;
  Written written;
  {
    qeld::QueueLog log([&](qeld::Severity severity, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex);
      written.emplace_back(severity, line);
    });
    log.Line("listening on http://127.0.0.1:8778/");
    log.Line("cannot listen on 127.0.0.1:8778: in use", qeld::Severity::kError);
    log.Show("COM3 does not answer", "Qel_weigher", qel::MessageIcon::kCritical);
    log.Show("note", "Qel_weigher", qel::MessageIcon::kNone);
  }  // the log's end writes what is queued
  // The bare line: the system's log has its own source name, stderr adds "qelscaled: ".
  const Written expected{{qeld::Severity::kInfo, "listening on http://127.0.0.1:8778/"},
                         {qeld::Severity::kError, "cannot listen on 127.0.0.1:8778: in use"},
                         {qeld::Severity::kError, "Qel_weigher: COM3 does not answer"},
                         {qeld::Severity::kInfo, "Qel_weigher: note"}};
  EXPECT_EQ(written, expected);
}

TEST(QueueLog, StderrOutputPrefixesTheProgramName) {
  testing::internal::CaptureStderr();
  {
    qeld::QueueLog log;
    log.Line("stopped");
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "qelscaled: stopped\n");
}

TEST(AvailablePorts, ListsNameAndDescriptionAsJson) {
  EXPECT_EQ(qeld::AvailablePortsJson({}), "[]");
  // Device names come from drivers: quotes and backslashes must not break the JSON.
  EXPECT_EQ(
      qeld::AvailablePortsJson(
          {{"COM3", "USB Serial Port"}, {"COM12", "Scale \"A\" \\ bay"}, {"/dev/ttyUSB0", ""}}),
      "[{\"name\":\"COM3\",\"description\":\"USB Serial Port\"},"
      "{\"name\":\"COM12\",\"description\":\"Scale \\\"A\\\" \\\\ bay\"},"
      "{\"name\":\"/dev/ttyUSB0\",\"description\":\"\"}]");
}

}  // namespace

namespace {

using Clock = qeld::RefusalLog::Clock;

TEST(RefusalLog, FirstOfEachReasonAtOnceThenOneAMinuteWithTheCount) {
  std::vector<std::string> lines;
  qeld::RefusalLog log([&](std::string line) { lines.push_back(std::move(line)); });
  const Clock::time_point start{};
  log.Refused(403, "host-not-allowed", "/v1/weight?port=COM3", start);
  log.Refused(403, "host-not-allowed", "/v1/weight", start + std::chrono::seconds(1));
  log.Refused(403, "host-not-allowed", "/", start + std::chrono::seconds(2));
  log.Refused(401, "token-required", "/v1/ports", start + std::chrono::seconds(3));
  log.Refused(403, "host-not-allowed", "/", start + std::chrono::seconds(61));
  log.Refused(403, "host-not-allowed", "/", start + std::chrono::seconds(62));
  const std::vector<std::string> expected{
      "refused /v1/weight: 403 host-not-allowed", "refused /v1/ports: 401 token-required",
      "refused /: 403 host-not-allowed (and 2 more since the last)"};
  EXPECT_EQ(lines, expected);
}

TEST(RefusalLog, ShowsNeitherTheQueryNorWhatCannotBePrinted) {
  std::vector<std::string> lines;
  qeld::RefusalLog log([&](std::string line) { lines.push_back(std::move(line)); });
  // A token may travel in the query; control bytes could forge lines in a text log.
  log.Refused(401, "a", "/v1/weight?token=s3cret-token-0123456789", Clock::time_point{});
  log.Refused(400, "b", "/x\r\nqelscaled: stopped", Clock::time_point{});
  log.Refused(404, "c", "/" + std::string(200, 'y'), Clock::time_point{});
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "refused /v1/weight: 401 a");
  EXPECT_EQ(lines[1], "refused /x??qelscaled: stopped: 400 b");
  EXPECT_EQ(lines[2], "refused /" + std::string(79, 'y') + "...: 404 c");
}

}  // namespace
