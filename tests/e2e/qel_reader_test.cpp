// The C interface's keep-open reader against the virtual scale: a protocol's reading with its
// fields, a tare acknowledged, bad options refused with their reason, a port without
// options reading the driver's frames, and failures reported in the readings only.
#include "qel_weigher/qel_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scale_process.h"

namespace {

using namespace std::chrono_literals;

// The latest reading once `match` holds for it, or the last one seen after 10 s.
template <class Match>
QelReading WaitFor(QelReader* reader, Match match) {
  QelReading reading{};
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (QelReader_Latest(reader, &reading, sizeof reading) == 1 && match(reading)) break;
    std::this_thread::sleep_for(20ms);
  }
  return reading;
}

TEST(QelReader, ReadsAProtocolWithItsFieldsAndTares) {
  qel::e2e::ScaleProcess scale({"--protocol", "mt-sics", "--weight", "3.250"});
  char error[128] = "x";
  QelReader* reader =
      QelReader_Open((scale.port() + "?protocol=mt-sics").c_str(), error, sizeof error);
  ASSERT_NE(reader, nullptr) << error;
  EXPECT_STREQ(error, "");
  QelReading r = WaitFor(reader, [](const QelReading& x) { return x.ok == 1; });
  EXPECT_EQ(r.ok, 1);
  EXPECT_STREQ(r.value, "3.250");
  EXPECT_STREQ(r.protocol, "mt-sics");
  EXPECT_STREQ(r.unit, "kg");
  EXPECT_EQ(r.stable, 1);
  EXPECT_STREQ(r.error, "");
  EXPECT_GT(r.sequence, 0u);
  EXPECT_EQ(QelReader_Command(reader, "tare"), 0);
  EXPECT_EQ(QelReader_Command(reader, "print"), -1);
  scale.Command("condition overload");
  r = WaitFor(reader, [](const QelReading& x) { return x.ok == 0; });
  EXPECT_STREQ(r.error, "overload");
  EXPECT_STREQ(r.value, "");
  EXPECT_STREQ(r.text, "0");
  QelReader_Close(reader);
}

TEST(QelReader, BadOptionsAreRefusedWithTheirReason) {
  char error[200];
  EXPECT_EQ(QelReader_Open("COM3?protocol=nope", error, sizeof error), nullptr);
  EXPECT_NE(std::string(error).find("'protocol'"), std::string::npos) << error;
  char tiny[8];
  EXPECT_EQ(QelReader_Open("COM3?speed=1", tiny, sizeof tiny), nullptr);
  EXPECT_EQ(std::string(tiny).size(), 7u);  // cut to fit, still terminated
  EXPECT_EQ(QelReader_Open(nullptr, nullptr, 0), nullptr);
  QelReader_Close(nullptr);
  QelReading r{};
  EXPECT_EQ(QelReader_Latest(nullptr, &r, sizeof r), 0);
}

TEST(QelReader, WithoutOptionsTheDriversFrames) {
  qel::e2e::ScaleProcess scale({"--weight", "1.500"});
  QelReader* reader = QelReader_Open(scale.port().c_str(), nullptr, 0);
  ASSERT_NE(reader, nullptr);
  const QelReading r = WaitFor(reader, [](const QelReading& x) { return x.ok == 1; });
  EXPECT_STREQ(r.value, "1.500");
  EXPECT_STREQ(r.protocol, "");
  EXPECT_EQ(r.net, -1);
  EXPECT_EQ(QelReader_Command(reader, "zero"), 3);
  QelReader_Close(reader);
}

// Every call of the process-wide message handler.
struct HandlerCalls {
  static void Record(const char* text, const char*, int, void* context) {
    auto* self = static_cast<HandlerCalls*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->texts.emplace_back(text);
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(mutex);
    return texts;
  }

  std::mutex mutex;
  std::vector<std::string> texts;
};

bool HasError(const QelReading& reading, const char* error) {
  return std::strcmp(reading.error, error) == 0;
}

TEST(QelReader, ReportsFailuresInItsReadingsOnlyNeverThroughTheMessageHandler) {
  HandlerCalls calls;
  Qel_SetMessageHandler(&HandlerCalls::Record, &calls);

  QelReader* absent = QelReader_Open("/dev/qel-no-such-port?protocol=mt-sics", nullptr, 0);
  ASSERT_NE(absent, nullptr);
  QelReading r = WaitFor(absent, [](const QelReading& x) { return x.ok == 0 && x.message[0]; });
  EXPECT_STREQ(r.error, "port-unavailable");
  EXPECT_NE(std::string(r.message).find("/dev/qel-no-such-port"), std::string::npos) << r.message;
  // A caller built before `message` existed gets the fields it knows, nothing beyond them.
  QelReading older;
  std::memset(&older, 0x5A, sizeof older);
  EXPECT_EQ(QelReader_Latest(absent, &older, offsetof(QelReading, message)), 1);
  EXPECT_STREQ(older.error, "port-unavailable");
  EXPECT_EQ(older.message[0], 0x5A);
  QelReader_Close(absent);

  // Detection, which announces what it found, then the device vanishing mid-stream.
  qel::e2e::ScaleProcess scale({"--protocol", "mt-sics", "--weight", "2.500"});
  QelReader* reader = QelReader_Open((scale.port() + "?protocol=auto").c_str(), nullptr, 0);
  ASSERT_NE(reader, nullptr);
  r = WaitFor(reader, [](const QelReading& x) { return x.ok == 1; });
  ASSERT_EQ(r.ok, 1) << r.error << " " << r.message;
  EXPECT_STREQ(r.message, "");
  scale.Command("vanish");
  r = WaitFor(reader, [](const QelReading& x) { return HasError(x, "read-failed"); });
  EXPECT_STREQ(r.error, "read-failed");
  EXPECT_NE(std::string(r.message), "");
  QelReader_Close(reader);

  Qel_SetMessageHandler(nullptr, nullptr);
  EXPECT_EQ(calls.Texts(), std::vector<std::string>{});
}

}  // namespace
