// The Scale service object's behaviour, as its Control Object sees it through OpenService,
// ClaimDevice, the property indexes and the events: states, result codes, the event queue
// and its freezing, synchronous and asynchronous reads. Portable: the registry, the claim
// across processes, the port and the reading engine are reached through ServiceHost, and
// the events leave through EventTarget on the owner's thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "protocol.h"
#include "reading.h"
#include "scale_link.h"

namespace qel::opos {

// One device as configured under the service object's registry key.
struct DeviceSettings {
  std::string port;                 // a port name with options, "COM3?protocol=auto"
  std::int32_t maximum_weight = 0;  // thousandths of `weight_unit`; 0: not known
  std::int32_t weight_unit = 0;     // SCAL_WU_*; 0: kilogram
  std::uint32_t stable_ms = 0;      // how long a weight holds to be stable; 0: default
};

enum class PortCheck { kFree, kAbsent, kHeld };

// The reading engine of one enabled device. Destroying it closes the port.
class DeviceLink {
 public:
  virtual ~DeviceLink() = default;
  // `done` runs on the engine's thread once the scale answered or the wait ended.
  virtual void Command(ScaleCommand command, std::function<void(CommandResult)> done) = 0;
};

class ServiceHost {
 public:
  using Listener = std::function<void(const Reading&)>;
  virtual ~ServiceHost() = default;
  // Nothing when the device is not configured.
  virtual std::optional<DeviceSettings> Settings(const std::string& device_name) = 0;
  // Holds the device against every other instance, in any process, while the result lives;
  // nullptr while another holds it.
  virtual std::shared_ptr<void> Claim(const std::string& device_name) = 0;
  // Whether the port could be opened now (it is not kept open).
  virtual PortCheck CheckPort(const std::string& port_name) = 0;
  // Starts reading `port` (parsed from the settings); `listener` runs on another thread.
  virtual std::unique_ptr<DeviceLink> Start(const DeviceSettings& settings, Listener listener) = 0;
  // Events are queued: DeliverEvents should run soon on the owner's thread. Any thread.
  virtual void EventsWaiting() = 0;
};

// The Control Object's event methods, called on the owner's thread.
class EventTarget {
 public:
  virtual ~EventTarget() = default;
  virtual void Data(std::int32_t status) = 0;
  // Returns the error response the application chose (OPOS_ER_*).
  virtual std::int32_t Error(std::int32_t result, std::int32_t extended, std::int32_t locus,
                             std::int32_t response) = 0;
  virtual void StatusUpdate(std::int32_t status) = 0;
};

// A weight reading in the service object's terms.
struct Judged {
  enum Kind { kWait, kWeight, kOverweight, kUnderZero } kind = kWait;
  std::int32_t weight = 0;  // thousandths of the device's unit
};

// Thousandths of `to_unit` (SCAL_WU_*) of the reading's weight; nothing when it has none.
std::optional<std::int32_t> ReadingWeight(const Reading& reading, std::int32_t to_unit);

class ScaleService {
 public:
  explicit ScaleService(ServiceHost& host);
  ~ScaleService();
  ScaleService(const ScaleService&) = delete;
  ScaleService& operator=(const ScaleService&) = delete;

  // Each returns the result code and sets ResultCode (and ResultCodeExtended).
  std::int32_t Open(const std::string& device_class, const std::string& device_name);
  std::int32_t Close();
  std::int32_t CheckHealth(std::int32_t level);
  std::int32_t ClaimDevice(std::int32_t timeout_ms);
  std::int32_t ReleaseDevice();
  std::int32_t ClearInput();
  std::int32_t ClearInputProperties();
  std::int32_t FreezeEvents(bool freeze);
  std::int32_t ReadWeight(std::int32_t& weight, std::int32_t timeout_ms);
  std::int32_t ZeroScale();
  // What the service object does not offer (DirectIO commands, statistics, firmware, the
  // display): OPOS_E_ILLEGAL once open.
  std::int32_t Unsupported();

  std::int32_t GetNumber(std::int32_t index);
  void SetNumber(std::int32_t index, std::int32_t value);
  std::string GetString(std::int32_t index);
  void SetString(std::int32_t index, const std::string& value);

  // Hands the queued events to `target` while events are not frozen. Owner's thread.
  void DeliverEvents(EventTarget& target);

 private:
  struct Event {
    enum Kind { kData, kError, kStatus } kind = kData;
    std::int32_t value = 0;     // data: the weight; error: the result; status: SCAL_SUE_*
    std::int32_t extended = 0;  // error only
    std::int32_t live = 0;      // status only: ScaleLiveWeight as the event tells it
  };

  std::int32_t Done(std::int32_t result, std::int32_t extended = 0);
  // OPOS_E_CLOSED, _NOTCLAIMED or _DISABLED when the device is not that far; else success.
  std::int32_t Require(bool claimed, bool enabled);
  std::int32_t SetEnabled(bool enabled);
  std::int32_t SetCommonNumber(std::int32_t index, std::int32_t value);
  std::int32_t SetScaleNumber(std::int32_t index, std::int32_t value);
  std::optional<std::int32_t> CommonNumber(std::int32_t index);
  std::optional<std::int32_t> ScaleNumber(std::int32_t index);
  std::int32_t RunCommand(ScaleCommand command);
  std::int32_t StartAsyncRead(std::int32_t timeout_ms);
  void StopAsyncRead();
  void AsyncWait(std::int32_t timeout_ms, std::uint64_t generation);

  // Engine thread.
  void OnReading(const Reading& reading);
  // Caller holds mutex_. Queues the event, true when the owner must be woken.
  bool QueueLiveStatusLocked(const Reading& reading);
  bool AnswerAsyncReadLocked();
  Judged JudgeLocked(const Reading& reading) const;
  std::optional<Event> NextEventLocked();
  void Deliver(EventTarget& target, const Event& event);

  ServiceHost& host_;
  // Owner's thread only.
  bool open_ = false;
  std::string device_name_;
  std::string port_name_;  // the port without its options
  DeviceSettings settings_;
  const Protocol* protocol_ = nullptr;  // nullptr when detected
  std::shared_ptr<void> claim_;
  std::unique_ptr<DeviceLink> link_;
  std::int32_t result_ = 0;
  std::int32_t extended_ = 0;
  bool auto_disable_ = false;
  std::int32_t status_notify_ = 1;
  std::int32_t tare_weight_ = 0;
  std::string health_text_;

  // Shared with the engine and the asynchronous read's waiter.
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Reading> last_;
  bool enabled_ = false;
  bool zero_valid_ = false;
  bool async_mode_ = false;
  bool data_events_ = false;
  bool frozen_ = false;
  bool delivering_ = false;
  std::int32_t live_weight_ = 0;
  std::int32_t last_status_ = 0;  // the last live status queued; 0: none yet
  std::int32_t last_live_ = -1;
  std::deque<Event> events_;
  bool async_pending_ = false;
  std::int32_t async_timeout_ = 0;
  std::uint64_t async_generation_ = 0;
  std::thread async_waiter_;
};

}  // namespace qel::opos
