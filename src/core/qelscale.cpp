#include "qelscale.h"

#include "module_api.h"
#include "weight_decoding.h"

namespace qel {

Qelscale::Qelscale(Services& services) : services_(services) {
  services_.states.ForCurrentThread().PortName = kDefaultPort;
}

Qelscale::Acquisition Qelscale::AcquireFrameText() {
  LinkState& link = services_.states.ForCurrentThread();
  Acquisition result;
  ModuleAPI::ClearBuffer(link);
  // Copy the name: the link must not depend on who else writes PortName meanwhile.
  const std::string port = link.PortName;
  result.opened = ModuleAPI::OpenPort(link, services_, port, ModuleAPI::kBaudRate);
  if (!result.opened) return result;

  // Let the scale's unsolicited output collect in the system's input queue.
  services_.sleeper.SleepMs(kSettleMs);
  ModuleAPI::ReadPort(link, services_);
  ModuleAPI::ClosePort(link, services_);
  result.received = ReceivedText(link.RxBuffer, link.BytesRead);
  return result;
}

std::string Qelscale::GetWeight_() {
  const Acquisition cycle = AcquireFrameText();
  if (!cycle.opened || cycle.received.size() < kMinFrameText) return std::string(kNoReading);
  return AcceptWeight(ExtractWeightField(cycle.received), services_.locale.UserNumberFormat());
}

bool Qelscale::OpenComPort_(const std::string& port) {
  // Chosen first, so the port stays chosen even when the probe fails.
  services_.states.ForCurrentThread().PortName = port;
  const Acquisition cycle = AcquireFrameText();
  if (!cycle.opened || cycle.received.size() < kMinFrameText) return false;
  return AcceptProbe(ExtractWeightField(cycle.received));
}

}  // namespace qel
