#include "routing.h"

#include <boost/beast/core/detail/base64.hpp>
#include <boost/url/ipv4_address.hpp>
#include <boost/url/ipv6_address.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>
#include <cctype>

namespace qeld {
namespace {

namespace urls = boost::urls;

urls::string_view Url(std::string_view text) { return urls::string_view(text.data(), text.size()); }

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Compares without an early exit, so the time taken tells nothing about the token.
bool SameSecret(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return diff == 0;
}

Decision Reject(int status, std::string error) {
  Decision decision;
  decision.endpoint = Endpoint::kReject;
  decision.status = status;
  decision.error = std::move(error);
  return decision;
}

// Only the base64 alphabet is handed to the decoder.
bool IsBase64(std::string_view text) {
  for (const char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=') {
      return false;
    }
  }
  return true;
}

bool AuthorizationCarries(std::string_view header, std::string_view token) {
  header = Trim(header);
  const std::size_t space = header.find(' ');
  if (space == std::string_view::npos) return false;
  const std::string scheme = Lower(header.substr(0, space));
  const std::string_view credentials = Trim(header.substr(space + 1));
  if (scheme == "bearer") return SameSecret(credentials, token);
  if (scheme == "basic" && credentials.size() <= 1024 && IsBase64(credentials)) {
    // A browser asked by the page's 401: any user name, the token as password.
    // decoded_size() counts whole groups only, but the decoder also writes a trailing partial
    // group: room for one more group (the fuzz target found the overflow).
    std::string decoded((credentials.size() + 3) / 4 * 3, '\0');
    const auto result = boost::beast::detail::base64::decode(decoded.data(), credentials.data(),
                                                             credentials.size());
    decoded.resize(result.first);
    const std::size_t colon = decoded.find(':');
    return colon != std::string::npos &&
           SameSecret(std::string_view(decoded).substr(colon + 1), token);
  }
  return false;
}

// Splits "a, b,c" into its trimmed elements.
std::vector<std::string_view> ListElements(std::string_view header) {
  std::vector<std::string_view> elements;
  while (!header.empty()) {
    const std::size_t comma = header.find(',');
    const std::string_view element = Trim(header.substr(0, comma));
    if (!element.empty()) elements.push_back(element);
    if (comma == std::string_view::npos) break;
    header.remove_prefix(comma + 1);
  }
  return elements;
}

bool ParseMs(const std::string& text, std::uint32_t& out) {
  if (text.empty() || text.size() > 6) return false;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value > kMaxTimeoutMs) return false;
  out = value;
  return true;
}

bool ParseFlag(const std::string& text, bool& out) {
  if (text == "1" || text == "true") {
    out = true;
  } else if (text == "0" || text == "false") {
    out = false;
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool HostAllowed(std::string_view host, const std::vector<std::string>& allowed) {
  if (host.empty() || host.size() > 255) return false;
  const auto authority = urls::parse_authority(Url(host));
  if (!authority || authority->has_userinfo()) return false;
  const std::string name = Lower(std::string(authority->host_address()));
  if (name.empty()) return false;
  for (const std::string& extra : allowed) {
    if (Lower(extra) == name) return true;
  }
  switch (authority->host_type()) {
    case urls::host_type::ipv4:
      return (authority->host_ipv4_address().to_uint() >> 24) == 127;
    case urls::host_type::ipv6:
      return authority->host_ipv6_address().is_loopback();
    case urls::host_type::name:
      return name == "localhost" || EndsWith(name, ".localhost");
    default:
      return false;
  }
}

bool IsLoopbackAddress(std::string_view address) {
  if (address == "localhost") return true;
  if (const auto v4 = urls::parse_ipv4_address(Url(address))) return (v4->to_uint() >> 24) == 127;
  if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  if (const auto v6 = urls::parse_ipv6_address(Url(address))) return v6->is_loopback();
  return false;
}

bool ValidToken(std::string_view token) {
  if (token.size() < 16 || token.size() > 256) return false;
  for (const char c : token) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_' &&
        c != '~') {
      return false;
    }
  }
  return true;
}

Decision Route(const RequestInfo& request, const Policy& policy) {
  // DNS rebinding: a foreign name that resolves to this machine still names itself in Host.
  if (!request.host || !HostAllowed(*request.host, policy.allowed_hosts)) {
    return Reject(403, "host-not-allowed");
  }

  std::string cors_origin;
  if (request.origin) {
    const std::string origin = Lower(*request.origin);
    const bool own = origin == "http://" + Lower(*request.host);
    bool listed = false;
    for (const std::string& allowed : policy.allowed_origins) listed |= Lower(allowed) == origin;
    if (!own && !listed) return Reject(403, "origin-not-allowed");
    if (!own) cors_origin = std::string(*request.origin);
  }
  // Rejections past this point may be read by an allowed origin.
  const auto reject = [&cors_origin](int status, std::string error) {
    Decision rejected = Reject(status, std::move(error));
    rejected.cors_origin = cors_origin;
    return rejected;
  };

  if (request.method == "OPTIONS") {
    // CORS and Private Network Access preflights; they never carry credentials.
    if (cors_origin.empty() || !request.request_method) return reject(403, "preflight-not-allowed");
    if (*request.request_method != "GET") return reject(403, "preflight-not-allowed");
    Decision decision;
    decision.endpoint = Endpoint::kPreflight;
    decision.status = 204;
    decision.cors_origin = cors_origin;
    decision.allow_private_network =
        request.request_private_network && Lower(Trim(*request.request_private_network)) == "true";
    return decision;
  }
  if (request.method != "GET") return reject(405, "method-not-allowed");

  const auto url = urls::parse_origin_form(Url(request.target));
  if (!url || request.target.size() > 2048) return reject(400, "malformed-target");
  const std::string path = url->path();

  Decision decision;
  decision.cors_origin = cors_origin;
  if (policy.token) {
    bool authorized =
        request.authorization && AuthorizationCarries(*request.authorization, *policy.token);
    if (!authorized && request.websocket_upgrade && request.websocket_protocol) {
      bool offered_plain = false;
      for (const std::string_view element : ListElements(*request.websocket_protocol)) {
        if (element.substr(0, 6) == "token." && SameSecret(element.substr(6), *policy.token)) {
          authorized = true;
          decision.websocket_protocol = std::string(element);
        }
        offered_plain |= element == kSubprotocol;
      }
      if (authorized && offered_plain) decision.websocket_protocol = std::string(kSubprotocol);
    }
    if (!authorized) {
      Decision rejected = reject(401, "token-required");
      rejected.ask_basic_auth = path == "/";
      return rejected;
    }
  }
  if (decision.websocket_protocol.empty() && request.websocket_upgrade &&
      request.websocket_protocol) {
    for (const std::string_view element : ListElements(*request.websocket_protocol)) {
      if (element == kSubprotocol) decision.websocket_protocol = std::string(kSubprotocol);
    }
  }

  std::map<std::string, std::string> query;
  for (const auto& param : url->params()) {
    std::string key = param.key;
    if (!query.emplace(std::move(key), param.has_value ? param.value : std::string()).second) {
      return reject(400, "duplicate-parameter");
    }
  }
  const auto take = [&query](const char* key) -> std::optional<std::string> {
    const auto it = query.find(key);
    if (it == query.end()) return std::nullopt;
    std::string value = std::move(it->second);
    query.erase(it);
    return value;
  };
  const auto needs_port = [&](Decision& d) -> std::optional<Decision> {
    const std::optional<std::string> port = take("port");
    if (!port || port->empty()) return reject(400, "port-missing");
    const auto it = policy.ports.find(*port);
    if (it == policy.ports.end()) return reject(404, "unknown-port");
    d.port = *port;
    return std::nullopt;
  };

  if (path == "/" || path == "/index.html") {
    decision.endpoint = Endpoint::kPage;
    return decision;  // the page reads its own parameters
  }
  if (path == "/v1/weight") {
    decision.endpoint = Endpoint::kWeight;
    if (auto rejected = needs_port(decision)) return *rejected;
    if (const auto stable = take("stable")) {
      if (!ParseFlag(*stable, decision.stable)) return reject(400, "bad-stable");
    }
    if (const auto timeout = take("timeout_ms")) {
      if (!ParseMs(*timeout, decision.timeout_ms)) return reject(400, "bad-timeout");
      if (!decision.stable) return reject(400, "timeout-without-stable");
    } else {
      decision.timeout_ms = kDefaultStableTimeoutMs;
    }
    if (decision.stable && policy.ports.at(decision.port) != PortMode::kStream) {
      return reject(400, "stable-needs-stream-port");
    }
  } else if (path == "/v1/stream") {
    decision.endpoint = Endpoint::kStream;
    if (!request.websocket_upgrade) return reject(400, "websocket-required");
    if (auto rejected = needs_port(decision)) return *rejected;
  } else if (path == "/v1/ports") {
    decision.endpoint = Endpoint::kPorts;
  } else if (path == "/metrics") {
    decision.endpoint = Endpoint::kMetrics;
  } else {
    return reject(404, "not-found");
  }
  if (!query.empty()) return reject(400, "unknown-parameter");
  if (decision.endpoint != Endpoint::kStream && request.websocket_upgrade) {
    return reject(400, "not-a-websocket-endpoint");
  }
  return decision;
}

}  // namespace qeld
