#include "qelscale.h"

#include <utility>

#include "module_api.h"

namespace qel {

Qelscale::Qelscale(Services& services) : services_(services) {
  services_.states.ForCurrentThread().PortName = kDefaultPort;
}

Qelscale::Acquisition Qelscale::AcquireFrameText() {
  LinkState& thread_link = services_.states.ForCurrentThread();
  // The cycle runs on a copy that belongs to it alone. While one of its message boxes is up,
  // the client's timers and the host's event loop run on this thread and may call the driver
  // again; that call runs a cycle of its own and cannot close, leak or refill this one's
  // handle and bytes.
  LinkState link = thread_link;
  Acquisition result;
  // Blanked here as well as in ReadPort: a cycle whose open fails never reads, and it still
  // leaves spaces in the thread's record, not the bytes of an earlier cycle.
  ModuleAPI::ClearBuffer(link);
  const PortOpening opening =
      ModuleAPI::OpenPort(link, services_, link.PortName, ModuleAPI::kBaudRate);
  result.opened = opening.ok();
  result.failure = opening.error;
  if (result.opened) {
    // Let the scale's unsolicited output collect in the system's input queue.
    services_.sleeper.SleepMs(kSettleMs);
    if (!ModuleAPI::ReadPort(link, services_)) result.failure = ReadingError::kReadFailed;
    ModuleAPI::ClosePort(link, services_);
    result.received = ReceivedText(link.RxBuffer, link.BytesRead);
  }
  // The thread's record keeps the values of the cycle that ended last. The port choice is
  // not the cycle's: a call nested in it may have made a new one.
  link.PortName = std::move(thread_link.PortName);
  thread_link = std::move(link);
  return result;
}

Qelscale::Weighing Qelscale::Weigh() {
  const Acquisition cycle = AcquireFrameText();
  Weighing result;
  if (cycle.opened && cycle.received.size() >= kMinFrameText) {
    result.weight =
        DecodeWeight(ExtractWeightField(cycle.received), services_.locale.UserNumberFormat());
  }
  if (result.weight.ok) {
    result.error = ReadingError::kNone;
  } else if (cycle.failure != ReadingError::kNone) {
    result.error = cycle.failure;
  }
  return result;
}

std::string Qelscale::GetWeight_() { return Weigh().weight.text; }

bool Qelscale::OpenComPort_(const std::string& port) {
  // Chosen first, so the port stays chosen even when the probe fails.
  services_.states.ForCurrentThread().PortName = port;
  const Acquisition cycle = AcquireFrameText();
  if (!cycle.opened || cycle.received.size() < kMinFrameText) return false;
  return AcceptProbe(ExtractWeightField(cycle.received));
}

}  // namespace qel
