#include "on_demand.h"

#include <exception>
#include <optional>
#include <utility>

#include "qelscale.h"

namespace qel {
namespace {

// Keeps the cycle's message for its answer and hands it to the log; never waits for a user.
class CapturingSink final : public MessageSink {
 public:
  explicit CapturingSink(MessageSink& log) : log_(log) {}
  std::optional<std::string> message;
  void Show(std::string_view text, std::string_view caption, MessageIcon icon) override {
    if (!message) message = std::string(text);
    log_.Show(text, caption, icon);
  }

 private:
  MessageSink& log_;
};

// The worker thread's one link state.
class OwnState final : public LinkStateStore {
 public:
  LinkState& ForCurrentThread() override { return state_; }

 private:
  LinkState state_;
};

}  // namespace

OnDemandReader::OnDemandReader(Services& platform, MessageSink& log, std::string port,
                               Callback on_cycle)
    : platform_(platform), log_(log), port_(std::move(port)), on_cycle_(std::move(on_cycle)) {
  worker_ = std::thread([this] { Work(); });
}

OnDemandReader::~OnDemandReader() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void OnDemandReader::Request(Callback done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(done));
  }
  wake_.notify_all();
}

std::uint64_t OnDemandReader::cycles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cycles_;
}

void OnDemandReader::Work() {
  CapturingSink sink(log_);
  OwnState state;
  Services services{platform_.serial, sink, platform_.locale, platform_.sleeper, state};
  Qelscale driver(services);

  for (;;) {
    std::vector<Callback> batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !pending_.empty(); });
      if (stop_) break;
      // Everyone waiting now is answered by this cycle, which opens the port next.
      batch.swap(pending_);
      ++cycles_;
    }
    sink.message.reset();
    state.ForCurrentThread().PortName = port_;
    Qelscale::Weighing weighing;
    try {
      weighing = driver.Weigh();
    } catch (const std::exception& fault) {
      sink.message = fault.what();
      log_.Show(fault.what(), kDriverCaption, MessageIcon::kCritical);
    }
    Reading reading;
    reading.port = port_;
    reading.at = std::chrono::system_clock::now();
    reading.ok = weighing.weight.ok;
    reading.value = std::move(weighing.weight.value);
    reading.text = std::move(weighing.weight.text);
    reading.error = weighing.error;
    reading.message = sink.message;
    if (on_cycle_) on_cycle_(reading);
    for (Callback& done : batch) done(reading);
  }

  // Whoever still waits gets no reading rather than no answer.
  std::vector<Callback> rest;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rest.swap(pending_);
  }
  Reading none;
  none.port = port_;
  none.at = std::chrono::system_clock::now();
  for (Callback& done : rest) done(none);
}

}  // namespace qel
