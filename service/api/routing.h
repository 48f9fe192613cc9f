// Request routing, query parsing and the security checks of the weight service, as pure
// functions of a few request fields. No network code here: the fuzz target and the unit
// tests drive it directly.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qeld {

enum class PortMode { kOnDemand, kStream };

// What the service was started with.
struct Policy {
  std::map<std::string, PortMode> ports;     // the only ports a request can reach
  std::vector<std::string> allowed_hosts;    // Host names beyond the loopback ones
  std::vector<std::string> allowed_origins;  // browser origins beyond the service's own
  std::optional<std::string> token;          // required on every request when set
  bool https = false;  // served over TLS: the service's own page comes from https://HOST
};

// The parts of a request that decide where it goes. Absent headers are nullopt.
struct RequestInfo {
  std::string_view method;
  std::string_view target;
  std::optional<std::string_view> host;
  std::optional<std::string_view> origin;
  std::optional<std::string_view> authorization;
  std::optional<std::string_view> websocket_protocol;  // Sec-WebSocket-Protocol
  std::optional<std::string_view> fetch_site;          // Sec-Fetch-Site
  std::optional<std::string_view> content_type;        // absent too when sent more than once
  bool websocket_upgrade = false;
  std::optional<std::string_view> request_method;           // Access-Control-Request-Method
  std::optional<std::string_view> request_private_network;  // ...-Request-Private-Network
};

// kScript and kWasm: the web package's bundle and wasm.
enum class Endpoint {
  kPage,
  kScript,
  kWasm,
  kWeight,
  kPorts,
  kMetrics,
  kStream,
  kCommand,
  kPreflight,
  kReject
};

struct Decision {
  Endpoint endpoint = Endpoint::kReject;
  int status = 200;
  std::string error;    // reason of a rejection, for the JSON body
  std::string port;     // kWeight, kStream, kCommand
  std::string command;  // kCommand: "zero" or "tare"
  bool stable = false;
  std::uint32_t timeout_ms = 0;
  // Non-empty: answer with Access-Control-Allow-Origin set to this origin.
  std::string cors_origin;
  bool allow_private_network = false;  // preflight asked for Private Network Access
  std::string allow_method;            // preflight: the method granted, as it was asked
  std::string websocket_protocol;      // the subprotocol the handshake answers with
  bool ask_basic_auth = false;         // 401 for the page: let a browser ask for the token
};

inline constexpr std::uint32_t kDefaultStableTimeoutMs = 5000;
inline constexpr std::uint32_t kMaxTimeoutMs = 60000;
// The subprotocol a browser offers beside "token.<TOKEN>", and the only one answered.
inline constexpr std::string_view kSubprotocol = "qelscale";

Decision Route(const RequestInfo& request, const Policy& policy);

// Whether a Host header value names this machine's loopback ("localhost", "127.x.y.z",
// "[::1]", "*.localhost") or one of `allowed`, with any port.
bool HostAllowed(std::string_view host, const std::vector<std::string>& allowed);

// Whether a Content-Type value is application/json, in any case, with or without parameters.
// A well-formed value only: "application/json garbage" is not.
bool IsJsonMediaType(std::string_view content_type);

// Whether an address given to --listen is a loopback address.
bool IsLoopbackAddress(std::string_view address);

// A token as the token file may hold it: 16 to 256 characters of A-Z a-z 0-9 - . _ ~,
// so it fits in a WebSocket subprotocol and an HTTP header unchanged.
bool ValidToken(std::string_view token);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF): port names go into JSON as they are, which must hold nothing else.
bool ValidUtf8(std::string_view text);

}  // namespace qeld
