// Feeds arbitrary request fields through the weight service's routing: query parsing, Host,
// Origin and token checks, and the header checks before them. Beyond memory safety it checks
// the promises the service relies on: only configured ports are ever named, every rejection
// has a status and a reason, a handshake never answers with the token, and another site's
// request without an Origin reaches nothing but the page.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "request_framing.h"
#include "routing.h"

namespace {

// Every line of the input as a "name:value" header field.
void CheckFraming(std::string_view input) {
  std::vector<qeld::HeaderField> headers;
  while (!input.empty()) {
    const std::size_t end = std::min(input.find('\n'), input.size());
    const std::string_view line = input.substr(0, end);
    const std::size_t colon = std::min(line.find(':'), line.size());
    headers.push_back({line.substr(0, colon), line.substr(std::min(colon + 1, line.size()))});
    input.remove_prefix(std::min(end + 1, input.size()));
  }
  const auto fault = qeld::FramingFault(headers);
  if (fault && *fault != "bad-transfer-encoding" && *fault != "repeated-header") std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Fields separated by '\n': method, target, host, origin (or Sec-Fetch-Site), authorization,
  // protocol, flags.
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (fields.size() < 7) {
    const std::size_t end = input.find('\n', start);
    fields.push_back(
        input.substr(start, end == std::string_view::npos ? input.size() - start : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  fields.resize(7);
  CheckFraming(input);
  const std::string_view flags = fields[6];

  qeld::RequestInfo request;
  request.method = fields[0];
  request.target = fields[1];
  if (!flags.empty() && (flags[0] & 1)) request.host = fields[2];
  if (!flags.empty() && (flags[0] & 2)) request.origin = fields[3];
  if (!flags.empty() && (flags[0] & 4)) request.authorization = fields[4];
  if (!flags.empty() && (flags[0] & 8)) request.websocket_protocol = fields[5];
  request.websocket_upgrade = !flags.empty() && (flags[0] & 16);
  if (!flags.empty() && (flags[0] & 32)) request.request_method = fields[5];
  if (!flags.empty() && (flags[0] & 64)) request.request_private_network = fields[4];
  if (!flags.empty() && (flags[0] & 128)) request.fetch_site = fields[3];
  if (flags.size() > 1 && (flags[1] & 1)) request.content_type = fields[5];

  static const qeld::Policy open_policy = [] {
    qeld::Policy policy;
    policy.ports = {{"COM3", qeld::PortMode::kOnDemand}, {"/dev/ttyUSB0", qeld::PortMode::kStream}};
    policy.allowed_hosts = {"scale.lan"};
    policy.allowed_origins = {"http://pos.example:8080"};
    return policy;
  }();
  static const qeld::Policy token_policy = [] {
    qeld::Policy policy = open_policy;
    policy.token = "0123456789abcdef-token";
    return policy;
  }();

  for (const qeld::Policy* policy : {&open_policy, &token_policy}) {
    const qeld::Decision decision = qeld::Route(request, *policy);
    if (decision.endpoint == qeld::Endpoint::kReject) {
      if (decision.status < 400 || decision.status > 499 || decision.error.empty()) std::abort();
      continue;
    }
    if (decision.endpoint == qeld::Endpoint::kWeight ||
        decision.endpoint == qeld::Endpoint::kStream) {
      if (policy->ports.count(decision.port) != 1) std::abort();
    }
    if (decision.timeout_ms > qeld::kMaxTimeoutMs) std::abort();
    if (!decision.websocket_protocol.empty() && decision.websocket_protocol != qeld::kSubprotocol) {
      std::abort();
    }
    const bool cross_site = request.fetch_site && (*request.fetch_site == "cross-site" ||
                                                   *request.fetch_site == "same-site");
    if (decision.endpoint != qeld::Endpoint::kPage && cross_site && !request.origin) {
      std::abort();
    }
    // Zero and tare only with a signal an HTML form cannot send.
    if (decision.endpoint == qeld::Endpoint::kCommand) {
      const bool json = request.content_type && qeld::IsJsonMediaType(*request.content_type);
      const bool token = policy->token && request.authorization;
      if (!request.origin && !request.fetch_site && !json && !token) std::abort();
    }
    // A request that passed carried a Host this machine answers to.
    if (!request.host || !qeld::HostAllowed(*request.host, policy->allowed_hosts)) std::abort();
  }
  return 0;
}
