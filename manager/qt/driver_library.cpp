#include "driver_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <utility>

#include "qel_weigher/qel_weigher.h"

namespace weightbench {

struct QelApi {
  decltype(&Qelscale_Create) create = nullptr;
  decltype(&Qelscale_Release) release = nullptr;
  decltype(&Qelscale_GetWeight_) get_weight = nullptr;
  decltype(&Qelscale_OpenComPort_) open_com_port = nullptr;
  decltype(&Qel_SetMessageHandler) set_message_handler = nullptr;
};

namespace {

constexpr short kAutomationTrue = -1;

template <typename Fn>
bool Resolve(void* handle, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(dlsym(handle, name));
  return out != nullptr;
}

// One driver object; the shared API keeps the function table alive as long as any object.
class QelDriver : public Driver {
 public:
  QelDriver(std::shared_ptr<const QelApi> api, Qelscale* object)
      : api_(std::move(api)), object_(object) {}
  ~QelDriver() override { api_->release(object_); }
  QelDriver(const QelDriver&) = delete;
  QelDriver& operator=(const QelDriver&) = delete;

  bool OpenComPort_(const std::string& port) override {
    return api_->open_com_port(object_, port.c_str()) == kAutomationTrue;
  }

  std::string GetWeight_() override {
    const char* text = api_->get_weight(object_);
    if (text == nullptr) throw DriverFault("GetWeight_ returned no text");
    return text;
  }

 private:
  std::shared_ptr<const QelApi> api_;
  Qelscale* object_;
};

}  // namespace

std::vector<std::string> LibraryCandidates(const std::string& executable_dir) {
  const char* override_path = std::getenv(kLibraryOverrideVariable);
  if (override_path != nullptr && *override_path != '\0') return {override_path};
  // Next to the program (the build tree), then an installed prefix's lib folder, then the
  // loader's own search path.
  return {executable_dir + "/" + kLibraryFileName, executable_dir + "/../lib/" + kLibraryFileName,
          kLibraryFileName};
}

QelLibraryFactory::QelLibraryFactory(std::vector<std::string> candidates, MessageSink sink)
    : candidates_(std::move(candidates)), sink_(std::move(sink)) {}

QelLibraryFactory::~QelLibraryFactory() {
  // The handler points at this object; give the driver its default back.
  if (api_) api_->set_message_handler(nullptr, nullptr);
}

bool QelLibraryFactory::Load() {
  if (api_) return true;
  for (const std::string& path : candidates_) {
    // Never unloaded: the driver keeps per-thread state whose cleanup runs from its own
    // code when the thread ends.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* error = dlerror();
      load_error_ = error != nullptr ? error : path;
      continue;
    }
    auto api = std::make_shared<QelApi>();
    if (!Resolve(handle, "Qelscale_Create", api->create) ||
        !Resolve(handle, "Qelscale_Release", api->release) ||
        !Resolve(handle, "Qelscale_GetWeight_", api->get_weight) ||
        !Resolve(handle, "Qelscale_OpenComPort_", api->open_com_port) ||
        !Resolve(handle, "Qel_SetMessageHandler", api->set_message_handler)) {
      load_error_ = path + ": not the driver library (a function is missing)";
      continue;
    }
    api->set_message_handler(&QelLibraryFactory::OnDriverMessage, this);
    api_ = std::move(api);
    load_error_.clear();
    return true;
  }
  return false;
}

std::unique_ptr<Driver> QelLibraryFactory::Create() {
  if (!Load()) return nullptr;
  Qelscale* object = api_->create();
  if (object == nullptr) return nullptr;
  return std::make_unique<QelDriver>(api_, object);
}

void QelLibraryFactory::OnDriverMessage(const char* text, const char* caption, int critical,
                                        void* context) {
  auto* self = static_cast<QelLibraryFactory*>(context);
  if (self == nullptr || !self->sink_) return;
  try {
    self->sink_(text != nullptr ? text : "", caption != nullptr ? caption : "",
                critical != 0 ? MessageIcon::kCritical : MessageIcon::kNone);
  } catch (...) {
    // Nothing may unwind through the driver's C frames.
  }
}

}  // namespace weightbench
