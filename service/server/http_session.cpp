#include "http_session.h"

#include <boost/beast/websocket/rfc6455.hpp>

#include "page.h"
#include "reading_json.h"
#include "websocket_session.h"

namespace qeld {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

template <class Name>
std::optional<std::string_view> Header(const http::request<http::string_body>& request, Name name) {
  const auto it = request.find(name);
  if (it == request.end()) return std::nullopt;
  return std::string_view(it->value().data(), it->value().size());
}

RequestInfo Describe(const http::request<http::string_body>& request) {
  RequestInfo info;
  info.method = std::string_view(request.method_string().data(), request.method_string().size());
  info.target = std::string_view(request.target().data(), request.target().size());
  info.host = Header(request, http::field::host);
  info.origin = Header(request, http::field::origin);
  info.authorization = Header(request, http::field::authorization);
  info.websocket_protocol = Header(request, http::field::sec_websocket_protocol);
  info.fetch_site = Header(request, beast::string_view("Sec-Fetch-Site"));
  info.websocket_upgrade = beast::websocket::is_upgrade(request);
  info.request_method = Header(request, http::field::access_control_request_method);
  info.request_private_network =
      Header(request, beast::string_view("Access-Control-Request-Private-Network"));
  return info;
}

}  // namespace

HttpSession::HttpSession(tcp::socket socket, SharedState& state)
    : counted_(state), stream_(std::move(socket)), state_(state) {}

// Between requests of a kept-alive connection: up to the idle timeout for the next one to
// begin, then the header timeout for all of it.
void HttpSession::WaitNext() {
  if (buffer_.size() > 0) return ReadRequest();
  stream_.expires_after(state_.config.limits.idle_timeout);
  stream_.async_read_some(buffer_.prepare(512),
                          [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                            if (ec) return self->Close();
                            self->buffer_.commit(n);
                            self->ReadRequest();
                          });
}

void HttpSession::ReadRequest() {
  const Limits& limits = state_.config.limits;
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(limits.header_bytes));
  parser_->body_limit(limits.body_bytes);
  stream_.expires_after(limits.header_timeout);
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code ec, std::size_t) {
                     // Malformed, oversized, too slow or gone: this connection ends here.
                     if (ec) return self->Close();
                     self->Handle();
                   });
}

void HttpSession::Close() {
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream_.close();
}

void HttpSession::Handle() {
  const Request& request = parser_->get();
  decision_ = Route(Describe(request), state_.config.policy);
  if (decision_.endpoint == Endpoint::kReject) ++state_.rejected[decision_.error];
  keep_alive_ = request.keep_alive();
  version_ = request.version();

  switch (decision_.endpoint) {
    case Endpoint::kPage:
      return Reply(Status::ok, "text/html; charset=utf-8", std::string(kPageHtml));
    case Endpoint::kPorts:
      return ReplyJson(Status::ok, state_.hub.PortsJson());
    case Endpoint::kMetrics:
      return Reply(Status::ok, "text/plain; version=0.0.4; charset=utf-8", state_.Metrics());
    case Endpoint::kPreflight:
      return Reply(Status::no_content, "", "");
    case Endpoint::kReject:
      return ReplyJson(static_cast<Status>(decision_.status), ErrorJson(decision_.error));
    case Endpoint::kWeight:
      return Weigh();
    case Endpoint::kStream:
      return Upgrade();
  }
}

void HttpSession::Weigh() {
  Port* port = state_.hub.Find(decision_.port);
  if (port == nullptr) return ReplyJson(Status::not_found, ErrorJson("unknown-port"));
  if (port->mode == PortMode::kOnDemand) {
    return state_.hub.RequestCycle(*port, [self = shared_from_this()](const qel::Reading& r) {
      self->ReplyJson(Status::ok, ReadingJson(r));
    });
  }
  if (!decision_.stable) return ReplyJson(Status::ok, ReadingJson(state_.hub.Current(*port)));
  WaitStable(*port);
}

// Waits for a stable reading newer than this request, up to timeout_ms.
void HttpSession::WaitStable(Port& port) {
  auto self = shared_from_this();
  const std::uint64_t id = state_.hub.AddWaiter(port, [self](const qel::Reading& reading) {
    self->timer_.reset();
    self->ReplyJson(Status::ok, ReadingJson(reading));
  });
  timer_.emplace(state_.ioc);
  timer_->expires_after(std::chrono::milliseconds(decision_.timeout_ms));
  stream_.expires_never();
  timer_->async_wait([self, id, port = &port](beast::error_code ec) {
    if (ec) return;  // answered meanwhile
    if (!self->state_.hub.RemoveWaiter(*port, id)) return;
    self->ReplyJson(Status::gateway_timeout, ErrorJson("no-stable-reading"));
  });
}

void HttpSession::Upgrade() {
  Port* port = state_.hub.Find(decision_.port);
  if (port == nullptr || port->mode != PortMode::kStream) {
    return ReplyJson(Status::bad_request, ErrorJson("stream-needs-stream-port"));
  }
  auto session = std::make_shared<WebSocketSession>(stream_.release_socket(), state_, *port);
  session->Accept(parser_->release(), decision_.websocket_protocol);
}

void HttpSession::Reply(Status status, std::string_view type, std::string body) {
  auto response = std::make_shared<http::response<http::string_body>>(status, version_);
  response->set(http::field::server, "qelscaled");
  response->set(http::field::cache_control, "no-store");
  response->set("X-Content-Type-Options", "nosniff");
  response->set("X-Frame-Options", "DENY");
  response->set("Referrer-Policy", "no-referrer");
  if (!type.empty()) {
    response->set(http::field::content_type, beast::string_view(type.data(), type.size()));
  }
  if (!decision_.cors_origin.empty()) {
    response->set(http::field::access_control_allow_origin, decision_.cors_origin);
    response->set(http::field::vary, "Origin");
  }
  if (decision_.endpoint == Endpoint::kPage) {
    response->set("Content-Security-Policy", kPagePolicy);
  }
  if (decision_.endpoint == Endpoint::kPreflight) {
    response->set(http::field::access_control_allow_methods, "GET");
    response->set(http::field::access_control_allow_headers, "Authorization");
    response->set(http::field::access_control_max_age, "600");
    if (decision_.allow_private_network) {
      response->set("Access-Control-Allow-Private-Network", "true");
    }
  }
  if (status == Status::unauthorized) {
    response->set(http::field::www_authenticate,
                  decision_.ask_basic_auth ? "Basic realm=\"qelscaled\", charset=\"UTF-8\""
                                           : "Bearer realm=\"qelscaled\"");
  }
  response->body() = std::move(body);
  // Rejections end the connection: whoever sends them gets no second try on it.
  response->keep_alive(keep_alive_ && decision_.endpoint != Endpoint::kReject);
  response->prepare_payload();
  stream_.expires_after(state_.config.limits.header_timeout);
  http::async_write(stream_, *response,
                    [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                      if (ec || !response->keep_alive()) return self->Close();
                      self->WaitNext();
                    });
}

}  // namespace qeld
