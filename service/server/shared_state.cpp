#include "shared_state.h"

#include "prometheus_text.h"

namespace qeld {

std::string SharedState::Metrics() const {
  PrometheusText out;
  hub.WriteMetrics(out);
  out.Family("qelscaled_clients", "Open client connections.", "gauge");
  out.Sample({{"kind", "websocket"}}, ws_clients);
  out.Sample({{"kind", "connection"}}, connections);
  out.Family("qelscaled_dropped_clients_total", "WebSocket clients dropped for a full queue.",
             "counter");
  out.Sample(dropped_clients);
  out.Family("qelscaled_refused_connections_total", "Connections refused at the limit.", "counter");
  out.Sample(refused_connections);
  out.Family("qelscaled_rejected_requests_total", "Requests refused, by reason.", "counter");
  for (const auto& [reason, count] : rejected) out.Sample({{"reason", reason}}, count);
  out.Family("qelscaled_log_lines_dropped_total", "Log lines dropped for a full log queue.",
             "counter");
  out.Sample(log.dropped());
  if (config.more_metrics) out.Append(config.more_metrics());
  return out.text();
}

}  // namespace qeld
