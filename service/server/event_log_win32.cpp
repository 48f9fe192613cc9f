#include <windows.h>

#include <memory>

#include "event_log.h"
#include "system_handles.h"
#include "wide_text.h"

namespace qeld {
namespace {

// The one message of qelscaled.exe's message table (event_messages.mc): "%1".
constexpr DWORD kLineEvent = 1;

class EventSource {
 public:
  EventSource() : source_(::RegisterEventSourceW(nullptr, L"qelscaled")) {}

  // Without a source (the log service down) the line is lost: there is nowhere else to
  // put it in a service, which has no console.
  void Write(Severity severity, const std::string& text) {
    if (!source_) return;
    const std::wstring wide = qel::win::Utf8ToWide(text);
    const wchar_t* strings[] = {wide.c_str()};
    const WORD type =
        severity == Severity::kError ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE;
    ::ReportEventW(source_.get(), type, 0, kLineEvent, nullptr, 1, 0, strings, nullptr);
  }

 private:
  qel::win::UniqueEventSource source_;
};

// A message ends with its line end; an event needs none.
std::string WithoutTrailingNewline(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

LogOutput EventLogOutput() {
  auto source = std::make_shared<EventSource>();
  return [source](Severity severity, const std::string& line) { source->Write(severity, line); };
}

Hosting::Say EventLogSay() {
  auto source = std::make_shared<EventSource>();
  return [source](const std::string& message, bool ok) {
    source->Write(ok ? Severity::kInfo : Severity::kError, WithoutTrailingNewline(message));
  };
}

}  // namespace qeld
