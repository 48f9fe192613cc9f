#include "routing.h"

#include <algorithm>
#include <boost/beast/core/detail/base64.hpp>
#include <boost/url/ipv4_address.hpp>
#include <boost/url/ipv6_address.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>
#include <cctype>
#include <iterator>
#include <utility>

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

// An Authorization value split at its first space: the scheme in lower case, the credentials.
std::pair<std::string, std::string_view> SchemeAndCredentials(std::string_view header) {
  header = Trim(header);
  const std::size_t space = header.find(' ');
  if (space == std::string_view::npos) return {};
  return {Lower(header.substr(0, space)), Trim(header.substr(space + 1))};
}

// Only a script or a tool sets this one; a browser never adds it by itself.
bool BearerCarries(std::string_view header, std::string_view token) {
  const auto [scheme, credentials] = SchemeAndCredentials(header);
  return scheme == "bearer" && SameSecret(credentials, token);
}

bool AuthorizationCarries(std::string_view header, std::string_view token) {
  if (BearerCarries(header, token)) return true;
  const auto [scheme, credentials] = SchemeAndCredentials(header);
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

bool IsTokenChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::size_t TokenLength(std::string_view text) {
  std::size_t n = 0;
  while (n < text.size() && IsTokenChar(text[n])) ++n;
  return n;
}

// The length of the quoted-string `text` begins with, or 0 when it begins with none.
std::size_t QuotedLength(std::string_view text) {
  if (text.empty() || text.front() != '"') return 0;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '"') return i + 1;
    if (text[i] == '\\' && ++i == text.size()) return 0;
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return 0;
  }
  return 0;
}

// The parameters after a media type: *( OWS ";" OWS [ name "=" ( token / quoted-string ) ] ).
bool WellFormedParameters(std::string_view rest) {
  while (!rest.empty()) {
    rest = Trim(rest);
    if (rest.empty() || rest.front() != ';') return false;
    rest = Trim(rest.substr(1));
    if (rest.empty() || rest.front() == ';') continue;
    const std::size_t name = TokenLength(rest);
    if (name == 0 || name == rest.size() || rest[name] != '=') return false;
    rest.remove_prefix(name + 1);
    const std::size_t value = QuotedLength(rest) + TokenLength(rest);
    if (value == 0) return false;
    rest.remove_prefix(value);
  }
  return true;
}

}  // namespace

bool IsJsonMediaType(std::string_view content_type) {
  content_type = Trim(content_type);
  const std::size_t type = TokenLength(content_type);
  if (type == 0 || type == content_type.size() || content_type[type] != '/') return false;
  const std::size_t end = type + 1 + TokenLength(content_type.substr(type + 1));
  return Lower(content_type.substr(0, end)) == "application/json" &&
         WellFormedParameters(content_type.substr(end));
}

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

bool ValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    // The range of the second byte narrows for E0, ED, F0 and F4 (overlong, surrogate, too big).
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      low = lead == 0xE0 ? 0xA0 : 0x80;
      high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

namespace {

using Query = std::map<std::string, std::string>;

// A request past the checks that apply to every path, on its way to its endpoint.
struct Routing {
  const RequestInfo& request;
  const Policy& policy;
  Query query;
  Decision decision;  // carries the CORS origin and the subprotocol already chosen

  // Rejections past the origin check may be read by an allowed origin.
  Decision Reject(int status, std::string error) const {
    Decision rejected = qeld::Reject(status, std::move(error));
    rejected.cors_origin = decision.cors_origin;
    return rejected;
  }
  // Removes and returns a query parameter.
  std::optional<std::string> Take(const char* key) {
    const auto it = query.find(key);
    if (it == query.end()) return std::nullopt;
    std::string value = std::move(it->second);
    query.erase(it);
    return value;
  }
};

using Rejection = std::optional<Decision>;

Rejection TakePort(Routing& r) {
  const std::optional<std::string> port = r.Take("port");
  if (!port || port->empty()) return r.Reject(400, "port-missing");
  if (r.policy.ports.count(*port) == 0) return r.Reject(404, "unknown-port");
  r.decision.port = *port;
  return std::nullopt;
}

Rejection RouteWeight(Routing& r) {
  Decision& d = r.decision;
  if (auto rejected = TakePort(r)) return rejected;
  if (const auto stable = r.Take("stable")) {
    if (!ParseFlag(*stable, d.stable)) return r.Reject(400, "bad-stable");
  }
  if (const auto timeout = r.Take("timeout_ms")) {
    if (!ParseMs(*timeout, d.timeout_ms)) return r.Reject(400, "bad-timeout");
    if (!d.stable) return r.Reject(400, "timeout-without-stable");
  } else {
    d.timeout_ms = kDefaultStableTimeoutMs;
  }
  if (d.stable && r.policy.ports.at(d.port) != PortMode::kStream) {
    return r.Reject(400, "stable-needs-stream-port");
  }
  return std::nullopt;
}

Rejection RouteStream(Routing& r) {
  if (!r.request.websocket_upgrade) return r.Reject(400, "websocket-required");
  return TakePort(r);
}

// Zero and tare change the scale's state, so they need something a cross-site form cannot
// send: an Origin (only an allowed one gets this far), a Sec-Fetch-Site naming this origin or
// the user's own typing, a JSON body type (a form sends text/plain, urlencoded or multipart;
// another site's script needs a preflight for it) or a bearer token. A form from a browser
// that sends neither Origin nor Sec-Fetch-Site has none of them; cached Basic credentials
// ride along with it, so they are no such signal.
bool SentByPageOrTool(const Routing& r) {
  const RequestInfo& request = r.request;
  if (request.origin) return true;
  if (request.fetch_site) {
    const std::string site = Lower(Trim(*request.fetch_site));
    if (site == "same-origin" || site == "none") return true;
  }
  if (request.content_type && IsJsonMediaType(*request.content_type)) return true;
  return r.policy.token && request.authorization &&
         BearerCarries(*request.authorization, *r.policy.token);
}

template <const char* kCommand>
Rejection RouteCommand(Routing& r) {
  if (!SentByPageOrTool(r)) return r.Reject(403, "cross-site-not-allowed");
  r.decision.command = kCommand;
  return TakePort(r);
}

constexpr char kZero[] = "zero";
constexpr char kTare[] = "tare";

Rejection NoParameters(Routing&) { return std::nullopt; }

struct EndpointRoute {
  std::string_view path;
  std::string_view method;
  Endpoint endpoint;
  Rejection (*parse)(Routing&);  // reads the endpoint's own parameters
  bool own_query;                // the page reads its parameters itself
};

constexpr EndpointRoute kRoutes[] = {
    {"/", "GET", Endpoint::kPage, NoParameters, true},
    {"/index.html", "GET", Endpoint::kPage, NoParameters, true},
    {"/qelscale.js", "GET", Endpoint::kScript, NoParameters, true},
    {"/qelscale.wasm", "GET", Endpoint::kWasm, NoParameters, true},
    {"/v1/weight", "GET", Endpoint::kWeight, RouteWeight, false},
    {"/v1/stream", "GET", Endpoint::kStream, RouteStream, false},
    {"/v1/ports", "GET", Endpoint::kPorts, NoParameters, false},
    {"/metrics", "GET", Endpoint::kMetrics, NoParameters, false},
    {"/v1/zero", "POST", Endpoint::kCommand, RouteCommand<kZero>, false},
    {"/v1/tare", "POST", Endpoint::kCommand, RouteCommand<kTare>, false},
};

bool AnyRouteServes(std::string_view method) {
  for (const EndpointRoute& route : kRoutes) {
    if (route.method == method) return true;
  }
  return false;
}

// DNS rebinding (a foreign name that resolves to this machine still names itself in Host)
// and foreign pages. Sets the CORS origin for an allowed foreign one.
Rejection CheckHostAndOrigin(const RequestInfo& request, const Policy& policy,
                             std::string& cors_origin) {
  if (!request.host || !HostAllowed(*request.host, policy.allowed_hosts)) {
    return Reject(403, "host-not-allowed");
  }
  if (!request.origin) return std::nullopt;
  const std::string origin = Lower(*request.origin);
  const bool own = origin == (policy.https ? "https://" : "http://") + Lower(*request.host);
  bool listed = false;
  for (const std::string& allowed : policy.allowed_origins) listed |= Lower(allowed) == origin;
  if (!own && !listed) return Reject(403, "origin-not-allowed");
  if (!own) cors_origin = std::string(*request.origin);
  return std::nullopt;
}

// CORS and Private Network Access preflights; they never carry credentials.
Decision Preflight(const Routing& r) {
  const RequestInfo& request = r.request;
  if (r.decision.cors_origin.empty() || !request.request_method ||
      !AnyRouteServes(*request.request_method)) {
    return r.Reject(403, "preflight-not-allowed");
  }
  Decision decision;
  decision.endpoint = Endpoint::kPreflight;
  decision.status = 204;
  decision.cors_origin = r.decision.cors_origin;
  decision.allow_method = std::string(*request.request_method);
  decision.allow_private_network =
      request.request_private_network && Lower(Trim(*request.request_private_network)) == "true";
  return decision;
}

// The token from Authorization or, for a WebSocket handshake, from a "token." subprotocol.
// That one must come with the plain subprotocol: the handshake answers only the plain one,
// since the answered subprotocol is readable to scripts and must not echo the token.
Rejection CheckToken(Routing& r, const std::string& path) {
  const RequestInfo& request = r.request;
  const std::string& token = *r.policy.token;
  if (request.authorization && AuthorizationCarries(*request.authorization, token)) {
    return std::nullopt;
  }
  bool carried = false;
  bool offered_plain = false;
  if (request.websocket_upgrade && request.websocket_protocol) {
    for (const std::string_view element : ListElements(*request.websocket_protocol)) {
      carried |= element.substr(0, 6) == "token." && SameSecret(element.substr(6), token);
      offered_plain |= element == kSubprotocol;
    }
  }
  if (carried && offered_plain) return std::nullopt;
  if (carried) return r.Reject(400, "subprotocol-required");
  Decision rejected = r.Reject(401, "token-required");
  rejected.ask_basic_auth = path == "/";
  return rejected;
}

// A cross-site request that carries no Origin is an <img>, a <script> or a no-cors fetch of
// some other site's page: it must not start cycles or stable waits. The page itself starts
// nothing, so a link to it from elsewhere still opens it.
bool CrossSiteWithoutOrigin(const RequestInfo& request) {
  if (request.origin || !request.fetch_site) return false;
  const std::string site = Lower(Trim(*request.fetch_site));
  return site == "cross-site" || site == "same-site";
}

// The page and the web package's files are only read: another page may link or load them.
bool StartsNothing(Endpoint endpoint) {
  return endpoint == Endpoint::kPage || endpoint == Endpoint::kScript ||
         endpoint == Endpoint::kWasm;
}

void ChooseSubprotocol(Routing& r) {
  if (!r.request.websocket_upgrade || !r.request.websocket_protocol) return;
  for (const std::string_view element : ListElements(*r.request.websocket_protocol)) {
    if (element == kSubprotocol) r.decision.websocket_protocol = std::string(kSubprotocol);
  }
}

Decision Dispatch(Routing& r, const std::string& path) {
  const auto route = std::find_if(std::begin(kRoutes), std::end(kRoutes),
                                  [&](const EndpointRoute& e) { return e.path == path; });
  if (route == std::end(kRoutes)) return r.Reject(404, "not-found");
  if (route->method != r.request.method) return r.Reject(405, "method-not-allowed");
  if (!StartsNothing(route->endpoint) && CrossSiteWithoutOrigin(r.request)) {
    return r.Reject(403, "cross-site-not-allowed");
  }
  r.decision.endpoint = route->endpoint;
  if (route->own_query) return r.decision;
  if (auto rejected = route->parse(r)) return *rejected;
  if (!r.query.empty()) return r.Reject(400, "unknown-parameter");
  if (route->endpoint != Endpoint::kStream && r.request.websocket_upgrade) {
    return r.Reject(400, "not-a-websocket-endpoint");
  }
  return r.decision;
}

}  // namespace

Decision Route(const RequestInfo& request, const Policy& policy) {
  Routing r{request, policy, {}, {}};
  if (auto rejected = CheckHostAndOrigin(request, policy, r.decision.cors_origin)) {
    return *rejected;
  }
  if (request.method == "OPTIONS") return Preflight(r);
  if (!AnyRouteServes(request.method)) return r.Reject(405, "method-not-allowed");

  const auto url = urls::parse_origin_form(Url(request.target));
  if (!url || request.target.size() > 2048) return r.Reject(400, "malformed-target");
  const std::string path = url->path();
  if (policy.token) {
    if (auto rejected = CheckToken(r, path)) return *rejected;
  }
  ChooseSubprotocol(r);
  for (const auto& param : url->params()) {
    if (!r.query.emplace(param.key, param.has_value ? param.value : std::string()).second) {
      return r.Reject(400, "duplicate-parameter");
    }
  }
  return Dispatch(r, path);
}

}  // namespace qeld
