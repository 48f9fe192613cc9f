#include "message_box_posix.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "posix_platform.h"

namespace qel::posix {
namespace {

void WriteToStderr(const char* text, const char* caption, int, void*) {
  // One write, so lines from several threads do not interleave.
  std::string line = std::string(caption) + ": " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::mutex handler_mutex;
MessageHandler current_handler = WriteToStderr;
void* current_context = nullptr;

class HandlerSink final : public MessageSink {
 public:
  void Show(std::string_view text, std::string_view caption, MessageIcon icon) override {
    MessageHandler handler;
    void* context;
    {
      std::lock_guard<std::mutex> lock(handler_mutex);
      handler = current_handler;
      context = current_context;
    }
    // Called without the lock: the handler may block for as long as its dialog stays open,
    // or set another handler.
    const std::string text_z(text);
    const std::string caption_z(caption);
    handler(text_z.c_str(), caption_z.c_str(), icon == MessageIcon::kCritical ? 1 : 0, context);
  }
};

}  // namespace

void SetMessageHandler(MessageHandler handler, void* context) {
  std::lock_guard<std::mutex> lock(handler_mutex);
  current_handler = handler != nullptr ? handler : WriteToStderr;
  current_context = handler != nullptr ? context : nullptr;
}

MessageSink& PosixMessageSink() {
  static HandlerSink sink;
  return sink;
}

}  // namespace qel::posix
