#include "engine_link.h"

#include <string>
#include <thread>
#include <utility>

#include "named_port.h"
#include "weight_stream.h"

namespace qel::opos {
namespace {

class SilentMessages final : public MessageSink {
 public:
  void Show(std::string_view, std::string_view, MessageIcon) override {}
};

class EngineLink final : public DeviceLink {
 public:
  EngineLink(Services& platform, NamedPort named, StreamOptions options,
             ServiceHost::Listener listener)
      : services_{platform.serial, silent_, platform.locale, platform.sleeper, platform.states},
        engine_(
            services_, std::move(named), options,
            [listener = std::move(listener)](const Reading& reading, bool) { listener(reading); }),
        thread_([this] { engine_.Run(); }) {}

  ~EngineLink() override {
    engine_.Stop();
    thread_.join();
  }

  void Command(ScaleCommand command, std::function<void(CommandResult)> done) override {
    engine_.Command(command, std::move(done));
  }

 private:
  SilentMessages silent_;
  Services services_;
  StreamEngine engine_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<DeviceLink> StartEngineLink(Services& services, const DeviceSettings& settings,
                                            ServiceHost::Listener listener) {
  std::string error;
  std::optional<NamedPort> named = ParseNamedPort(settings.port, error);
  if (!named) return nullptr;
  StreamOptions options;
  if (settings.stable_ms > 0) options.stable_for = std::chrono::milliseconds(settings.stable_ms);
  return std::make_unique<EngineLink>(services, std::move(*named), options, std::move(listener));
}

}  // namespace qel::opos
