#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "event_log.h"
#include "service_arguments.h"
#include "service_host.h"
#include "wide_text.h"

namespace qeld {
namespace {

// The service's state as the service manager sees it. While it starts or stops, a thread of
// its own moves the checkpoint on every second, so the manager sees progress however long the
// port readers take to let go.
class StatusReporter {
 public:
  explicit StatusReporter(SERVICE_STATUS_HANDLE handle) : handle_(handle) {
    status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ticker_ = std::thread([this] { Tick(); });
  }
  StatusReporter(const StatusReporter&) = delete;
  StatusReporter& operator=(const StatusReporter&) = delete;
  ~StatusReporter() { Finish(NO_ERROR); }

  void Set(DWORD state) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (done_) return;
    status_.dwCurrentState = state;
    status_.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status_.dwCheckPoint = Pending() ? 1 : 0;
    status_.dwWaitHint = Pending() ? 5000 : 0;
    ::SetServiceStatus(handle_, &status_);
  }

  // The last report: the manager may end the process at once after it.
  void Finish(int exit_status) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (done_) return;
      done_ = true;
    }
    wake_.notify_all();
    ticker_.join();
    status_.dwCurrentState = SERVICE_STOPPED;
    status_.dwControlsAccepted = 0;
    status_.dwCheckPoint = status_.dwWaitHint = 0;
    status_.dwWin32ExitCode = exit_status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status_.dwServiceSpecificExitCode = static_cast<DWORD>(exit_status);
    ::SetServiceStatus(handle_, &status_);
  }

 private:
  bool Pending() const {
    return status_.dwCurrentState == SERVICE_START_PENDING ||
           status_.dwCurrentState == SERVICE_STOP_PENDING;
  }

  void Tick() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; })) {
      if (!Pending()) continue;
      ++status_.dwCheckPoint;
      ::SetServiceStatus(handle_, &status_);
    }
  }

  SERVICE_STATUS_HANDLE handle_;
  std::mutex mutex_;
  std::condition_variable wake_;
  SERVICE_STATUS status_{};
  bool done_ = false;
  std::thread ticker_;
};

// What the control handler reaches, through its context pointer.
struct ServiceRun {
  Hosting hosting{EventLogOutput(), EventLogSay()};
  StatusReporter* status = nullptr;
};

HostedMain g_body = nullptr;  // set before the dispatcher starts, read by ServiceMain
int g_exit_status = 0;        // ServiceMain's result, for main's return

DWORD WINAPI Control(DWORD control, DWORD, void*, void* context) {
  auto* run = static_cast<ServiceRun*>(context);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      if (run->status != nullptr) run->status->Set(SERVICE_STOP_PENDING);
      run->hosting.control.Stop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// The stored arguments, then any the start itself gave ("sc start qelscaled --port COM4");
// empty with the reason said when there are none to run with.
std::vector<std::string> ServiceArguments(DWORD argc, LPWSTR* argv, Hosting& hosting) {
  StoredArguments stored = ReadStoredArguments();
  if (!stored.error.empty()) {
    hosting.say("qelscaled: " + stored.error + "\n", false);
    return {};
  }
  std::vector<std::string> arguments{"qelscaled"};
  arguments.insert(arguments.end(), stored.arguments.begin(), stored.arguments.end());
  for (DWORD i = 1; i < argc; ++i) arguments.push_back(qel::win::WideToUtf8(argv[i]));
  if (arguments.size() == 1) {
    hosting.say(std::string("qelscaled: no arguments to run with: set them in ") + kArgumentsPlace +
                    " (e.g. --stream COM3) and start the service again\n",
                false);
    return {};
  }
  return arguments;
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  ServiceRun run;
  const SERVICE_STATUS_HANDLE handle =
      ::RegisterServiceCtrlHandlerExW(L"qelscaled", &Control, &run);
  if (handle == nullptr) return;
  StatusReporter status(handle);
  run.status = &status;
  status.Set(SERVICE_START_PENDING);
  run.hosting.control.on_listening = [&status] { status.Set(SERVICE_RUNNING); };
  const std::vector<std::string> arguments = ServiceArguments(argc, argv, run.hosting);
  if (arguments.empty()) {
    g_exit_status = 2;
  } else {
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
    g_exit_status = g_body(static_cast<int>(pointers.size()), pointers.data(), run.hosting);
  }
  status.Finish(g_exit_status);
}

}  // namespace

int RunHosted(int argc, char** argv, HostedMain body) {
  g_body = body;
  wchar_t name[] = L"qelscaled";  // ignored for a service of its own process
  const SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
  if (::StartServiceCtrlDispatcherW(table)) return g_exit_status;
  const DWORD error = ::GetLastError();
  if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    Hosting console(StderrOutput(), ConsoleSay());  // started from a prompt
    return body(argc, argv, console);
  }
  std::fprintf(stderr, "qelscaled: the service manager's dispatcher failed (error %lu)\n",
               static_cast<unsigned long>(error));
  return 1;
}

}  // namespace qeld
