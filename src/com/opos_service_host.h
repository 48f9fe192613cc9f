// What the Scale service object needs from Windows: the device's configuration under the OPOS
// registry key, a claim that other processes see, a look at the port, the stream engine, and
// a message-only window that brings queued events back to the thread that created it.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "scale_service.h"
#include "services.h"

namespace qel::com {

// The key a Control Object looks a Scale device up under; one subkey per device name.
inline constexpr wchar_t kOposScaleKey[] = L"SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scale";

class OposServiceHost final : public opos::ServiceHost {
 public:
  // `deliver` runs on the creating thread, from its message loop, once events are queued.
  OposServiceHost(Services& services, std::function<void()> deliver);
  ~OposServiceHost() override;
  OposServiceHost(const OposServiceHost&) = delete;
  OposServiceHost& operator=(const OposServiceHost&) = delete;

  std::optional<opos::DeviceSettings> Settings(const std::string& device_name) override;
  std::shared_ptr<void> Claim(const std::string& device_name) override;
  opos::PortCheck CheckPort(const std::string& port_name) override;
  std::unique_ptr<opos::DeviceLink> Start(const opos::DeviceSettings& settings,
                                          Listener listener) override;
  void EventsWaiting() override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  Services& services_;
  std::function<void()> deliver_;
  HWND window_ = nullptr;
};

}  // namespace qel::com
