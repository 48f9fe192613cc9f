// The token check of the routing, with near misses of the real token in each place a client
// can carry it: a prefix of it, it with one character more, empty, or in another case.
#include <gtest/gtest.h>

#include <boost/beast/core/detail/base64.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "routing.h"

namespace {

constexpr std::string_view kToken = "s3cret-Token-0123456789";

qeld::Policy TokenPolicy() {
  qeld::Policy policy;
  policy.ports = {{"COM3", qeld::PortMode::kOnDemand}};
  policy.token = std::string(kToken);
  return policy;
}

// The near misses, each with why it must be refused.
std::vector<std::pair<std::string, const char*>> NearMisses() {
  std::string other_case(kToken);
  other_case[3] = 'R';  // "s3cRet-..."
  return {{std::string(kToken.substr(0, kToken.size() - 1)), "a prefix"},
          {std::string(kToken.substr(0, 1)), "its first character"},
          {std::string(kToken) + "x", "the token and one character more"},
          {std::string(kToken) + std::string(1, '\0'), "the token and a NUL"},
          {"", "empty"},
          {other_case, "another case"}};
}

qeld::Decision WithAuthorization(const std::string& header, std::string_view target = "/") {
  qeld::RequestInfo request;
  request.method = "GET";
  request.target = target;
  request.host = "localhost:8778";
  request.authorization = header;
  return qeld::Route(request, TokenPolicy());
}

// A WebSocket handshake offering `protocols` (none when empty), with `authorization` if given.
qeld::Decision WithSubprotocols(const std::string& protocols,
                                std::optional<std::string_view> authorization = std::nullopt) {
  qeld::RequestInfo request;
  request.method = "GET";
  request.target = "/v1/stream?port=COM3";
  request.host = "localhost:8778";
  request.websocket_upgrade = true;
  if (!protocols.empty()) request.websocket_protocol = protocols;
  request.authorization = authorization;
  return qeld::Route(request, TokenPolicy());
}

std::string Basic(std::string_view user_and_password) {
  std::string encoded(boost::beast::detail::base64::encoded_size(user_and_password.size()), '\0');
  encoded.resize(boost::beast::detail::base64::encode(encoded.data(), user_and_password.data(),
                                                      user_and_password.size()));
  return "Basic " + encoded;
}

TEST(Token, BearerTakesOnlyTheWholeToken) {
  EXPECT_EQ(WithAuthorization("Bearer " + std::string(kToken)).status, 200);
  for (const auto& [offered, what] : NearMisses()) {
    const qeld::Decision decision = WithAuthorization("Bearer " + offered);
    EXPECT_EQ(decision.status, 401) << what;
    EXPECT_EQ(decision.error, "token-required") << what;
  }
}

TEST(Token, BasicTakesOnlyTheWholeTokenAsPassword) {
  EXPECT_EQ(WithAuthorization(Basic("cashier:" + std::string(kToken))).status, 200);
  for (const auto& [offered, what] : NearMisses()) {
    EXPECT_EQ(WithAuthorization(Basic("cashier:" + offered)).status, 401) << what;
  }
  EXPECT_EQ(WithAuthorization(Basic(std::string(kToken))).status, 401) << "no colon, no password";
}

TEST(Token, WebSocketSubprotocolTakesOnlyTheWholeToken) {
  const qeld::Decision good = WithSubprotocols("qelscale, token." + std::string(kToken));
  EXPECT_EQ(good.endpoint, qeld::Endpoint::kStream);
  EXPECT_EQ(good.websocket_protocol, "qelscale");
  for (const auto& [offered, what] : NearMisses()) {
    if (offered.find('\0') != std::string::npos) continue;  // no header carries a NUL
    const qeld::Decision decision = WithSubprotocols("qelscale, token." + offered);
    EXPECT_EQ(decision.status, 401) << what;
    EXPECT_TRUE(decision.websocket_protocol.empty()) << what;
  }
}

// The handshake's answer is readable to any script on the page and may be logged on the way:
// it is "qelscale" alone, and a client that carries the token must offer it.
TEST(Token, TheHandshakeNeverAnswersWithTheToken) {
  const std::string carried = "token." + std::string(kToken);
  for (const std::string& protocols : {carried, carried + ", other", "other, " + carried}) {
    const qeld::Decision decision = WithSubprotocols(protocols);
    EXPECT_EQ(decision.status, 400) << protocols;
    EXPECT_EQ(decision.error, "subprotocol-required") << protocols;
    EXPECT_TRUE(decision.websocket_protocol.empty()) << protocols;
  }
  EXPECT_EQ(WithSubprotocols(carried + ", qelscale").websocket_protocol, "qelscale");
  // Authorization carries it instead: nothing to answer, nothing refused.
  const std::string bearer_header = "Bearer " + std::string(kToken);
  const qeld::Decision bearer = WithSubprotocols("", bearer_header);
  EXPECT_EQ(bearer.endpoint, qeld::Endpoint::kStream);
  EXPECT_TRUE(bearer.websocket_protocol.empty());
}

}  // namespace
