// The keep-open reader of the C interface: a stream engine on a thread of its own, the
// latest reading kept under a lock for QelReader_Latest. The engine's messages stay in its
// readings: it never calls the process-wide handler of Qel_SetMessageHandler.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "named_port.h"
#include "platform_services.h"
#include "qel_weigher/qel_reader.h"
#include "weight_stream.h"

struct QelReader {
  std::mutex mutex;
  qel::Reading latest;
  unsigned long long sequence = 0;
  std::unique_ptr<qel::StreamEngine> engine;
  std::thread thread;
};

namespace {

// The first QelReading ended with `sequence`; a caller built then passes that size.
constexpr std::size_t kFirstReadingSize = offsetof(QelReading, message);
static_assert(kFirstReadingSize == offsetof(QelReading, sequence) + sizeof(unsigned long long));

// Drops what the engine would show. Every failure's message is in its reading already, and the
// handler of Qel_SetMessageHandler belongs to the client's thread, not to the reader's.
class DiscardedMessages final : public qel::MessageSink {
 public:
  void Show(std::string_view, std::string_view, qel::MessageIcon) override {}
};

// The platform, with the messages discarded.
qel::Services& ReaderServices() {
  static DiscardedMessages discarded;
  static qel::Services services = [] {
    qel::Services& platform = qel::PlatformServices();
    return qel::Services{platform.serial, discarded, platform.locale, platform.sleeper,
                         platform.states};
  }();
  return services;
}

// Cut to fit, never inside a UTF-8 sequence.
template <std::size_t N>
void CopyText(char (&field)[N], const std::string& text) {
  std::size_t n = std::min(text.size(), N - 1);
  if (n < text.size()) {
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

void CopyError(char* error, std::size_t size, const std::string& text) {
  if (error == nullptr || size == 0) return;
  const std::size_t n = std::min(text.size(), size - 1);
  std::memcpy(error, text.data(), n);
  error[n] = '\0';
}

int Tristate(const std::optional<bool>& flag) { return !flag ? -1 : (*flag ? 1 : 0); }

void Fill(QelReading& out, const qel::Reading& reading, unsigned long long sequence) {
  out.ok = reading.ok ? 1 : 0;
  CopyText(out.value, reading.ok ? reading.value : std::string());
  CopyText(out.text, reading.ok ? reading.text : std::string("0"));
  out.stable = Tristate(reading.stable);
  CopyText(out.protocol, reading.protocol);
  CopyText(out.unit, reading.unit);
  out.net = Tristate(reading.net);
  CopyText(out.tare, reading.tare);
  const std::string_view error = qel::ReadingErrorName(reading.error);
  CopyText(out.error,
           reading.ok ? std::string() : std::string(error.empty() ? "no-reading" : error));
  out.at_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(reading.at.time_since_epoch()).count();
  out.sequence = sequence;
  CopyText(out.message, reading.ok ? std::string() : reading.message.value_or(std::string()));
}

}  // namespace

extern "C" {

QEL_API QelReader* QelReader_Open(const char* port, char* error, size_t error_size) {
  try {
    std::string reason;
    std::optional<qel::NamedPort> named =
        port != nullptr ? qel::ParseNamedPort(port, reason) : std::nullopt;
    if (!named) {
      CopyError(error, error_size, port == nullptr ? "no port given" : reason);
      return nullptr;
    }
    auto reader = std::make_unique<QelReader>();
    QelReader* raw = reader.get();
    reader->engine = std::make_unique<qel::StreamEngine>(
        ReaderServices(), std::move(*named), qel::StreamOptions{},
        [raw](const qel::Reading& reading, bool) {
          std::lock_guard<std::mutex> lock(raw->mutex);
          raw->latest = reading;
          ++raw->sequence;
        });
    reader->thread = std::thread([engine = raw->engine.get()] { engine->Run(); });
    CopyError(error, error_size, "");
    return reader.release();
  } catch (const std::exception& fault) {
    CopyError(error, error_size, fault.what());
    return nullptr;
  }
}

QEL_API int QelReader_Latest(QelReader* reader, QelReading* out, size_t out_size) {
  if (reader == nullptr || out == nullptr || out_size < kFirstReadingSize) return 0;
  QelReading full{};
  unsigned long long sequence;
  {
    std::lock_guard<std::mutex> lock(reader->mutex);
    sequence = reader->sequence;
    Fill(full, reader->latest, sequence);
  }
  // A caller built before a field was added gets the fields it knows.
  std::memcpy(out, &full, std::min<std::size_t>(out_size, sizeof full));
  return sequence > 0 ? 1 : 0;
}

QEL_API int QelReader_Command(QelReader* reader, const char* command) {
  if (reader == nullptr || command == nullptr) return -1;
  const std::string_view name = command;
  if (name != "zero" && name != "tare") return -1;
  try {
    std::promise<qel::CommandResult> answer;
    reader->engine->Command(name == "zero" ? qel::ScaleCommand::kZero : qel::ScaleCommand::kTare,
                            [&answer](qel::CommandResult result) { answer.set_value(result); });
    switch (answer.get_future().get()) {
      case qel::CommandResult::kAcknowledged:
        return 0;
      case qel::CommandResult::kRefused:
        return 1;
      case qel::CommandResult::kNoAnswer:
        return 2;
      case qel::CommandResult::kNotSupported:
        return 3;
      case qel::CommandResult::kTooManyCommands:
        return 4;
    }
  } catch (const std::exception&) {
  }
  return 2;
}

QEL_API void QelReader_Close(QelReader* reader) {
  if (reader == nullptr) return;
  reader->engine->Stop();
  if (reader->thread.joinable()) reader->thread.join();
  delete reader;
}

}  // extern "C"
