// The members of HttpSession, for the files that instantiate it: http_session.cpp (plain TCP)
// and the TLS build's own.
#pragma once

#include <algorithm>
#include <boost/beast/websocket/rfc6455.hpp>
#include <vector>

#include "http_session.h"
#include "page.h"
#include "reading_json.h"
#include "request_framing.h"
#include "web_assets.h"
#include "websocket_session.h"

namespace qeld {

namespace http = beast::http;

namespace http_session {

template <class Name>
inline std::optional<std::string_view> Header(const http::request<http::string_body>& request,
                                              Name name) {
  const auto it = request.find(name);
  if (it == request.end()) return std::nullopt;
  return std::string_view(it->value().data(), it->value().size());
}

inline RequestInfo Describe(const http::request<http::string_body>& request) {
  RequestInfo info;
  info.method = std::string_view(request.method_string().data(), request.method_string().size());
  info.target = std::string_view(request.target().data(), request.target().size());
  info.host = Header(request, http::field::host);
  info.origin = Header(request, http::field::origin);
  info.authorization = Header(request, http::field::authorization);
  info.websocket_protocol = Header(request, http::field::sec_websocket_protocol);
  info.fetch_site = Header(request, beast::string_view("Sec-Fetch-Site"));
  // Two types are no type: a command then needs another of its signals.
  if (request.count(http::field::content_type) == 1) {
    info.content_type = Header(request, http::field::content_type);
  }
  info.websocket_upgrade = beast::websocket::is_upgrade(request);
  info.request_method = Header(request, http::field::access_control_request_method);
  info.request_private_network =
      Header(request, beast::string_view("Access-Control-Request-Private-Network"));
  return info;
}

inline std::vector<HeaderField> Fields(const http::request<http::string_body>& request) {
  std::vector<HeaderField> fields;
  for (const auto& field : request) {
    fields.push_back({std::string_view(field.name_string().data(), field.name_string().size()),
                      std::string_view(field.value().data(), field.value().size())});
  }
  return fields;
}

// Ambiguous framing is refused before any routing: what one reader takes for a body another
// may serve as a second request.
inline Decision Decide(const http::request<http::string_body>& request, const Policy& policy) {
  if (const std::optional<std::string_view> fault = FramingFault(Fields(request))) {
    Decision refused;
    refused.status = 400;
    refused.error = std::string(*fault);
    return refused;
  }
  return Route(Describe(request), policy);
}

}  // namespace http_session

template <class Stream>
void HttpSession<Stream>::Start() {
  Deadline().expires_after(state_.config.limits.header_timeout);
  Transport<Stream>::Begin(stream_, [self = this->shared_from_this()](beast::error_code ec) {
    if (ec) return self->Close();
    self->ReadRequest();
  });
}

// Between requests of a kept-alive connection: up to the idle timeout for the next one to
// begin, then the header timeout for all of it.
template <class Stream>
void HttpSession<Stream>::WaitNext() {
  if (buffer_.size() > 0) return ReadRequest();
  Deadline().expires_after(state_.config.limits.idle_timeout);
  stream_.async_read_some(buffer_.prepare(512),
                          [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                            if (ec) return self->Close();
                            self->buffer_.commit(n);
                            self->ReadRequest();
                          });
}

template <class Stream>
void HttpSession<Stream>::ReadRequest() {
  const Limits& limits = state_.config.limits;
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(limits.header_bytes));
  parser_->body_limit(limits.body_bytes);
  Deadline().expires_after(limits.header_timeout);
  http::async_read(stream_, buffer_, *parser_,
                   [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                     // Malformed, oversized, too slow or gone: this connection ends here.
                     if (ec) return self->Close();
                     self->Handle();
                   });
}

template <class Stream>
void HttpSession<Stream>::Close() {
  Transport<Stream>::End(stream_, state_.config.limits.header_timeout, this->shared_from_this());
}

template <class Stream>
void HttpSession<Stream>::Handle() {
  const Request& request = parser_->get();
  decision_ = http_session::Decide(request, state_.config.policy);
  if (decision_.endpoint == Endpoint::kReject) {
    ++state_.rejected[decision_.error];
    state_.refusals.Refused(decision_.status, decision_.error,
                            std::string_view(request.target().data(), request.target().size()),
                            RefusalLog::Clock::now());
  }
  keep_alive_ = request.keep_alive();
  version_ = request.version();

  switch (decision_.endpoint) {
    case Endpoint::kPage:
      return Reply(Status::ok, "text/html; charset=utf-8", std::string(kPageHtml));
    case Endpoint::kScript:
      return ReplyAsset("text/javascript; charset=utf-8", WebScript());
    case Endpoint::kWasm:
      return ReplyAsset("application/wasm", WebWasm());
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
    case Endpoint::kCommand:
      return RunCommand();
  }
}

// Zero or tare: answered once the scale acknowledged, refused, or the wait ran out.
template <class Stream>
void HttpSession<Stream>::RunCommand() {
  Port* port = state_.hub.Find(decision_.port);
  if (port == nullptr) return ReplyJson(Status::not_found, ErrorJson("unknown-port"));
  const qel::ScaleCommand command =
      decision_.command == "tare" ? qel::ScaleCommand::kTare : qel::ScaleCommand::kZero;
  // A client that hangs up before the command went to the scale withdraws it: nobody is
  // left to be told, and a zero or tare nobody wants must not happen later.
  ticket_ = std::make_shared<qel::CommandTicket>();
  Deadline().expires_never();
  state_.hub.Command(
      *port, command,
      [self = this->shared_from_this()](qel::CommandResult result) {
        if (!self->ticket_) return;  // abandoned
        self->ticket_.reset();
        self->EndWait(static_cast<Status>(CommandStatus(result)),
                      CommandJson(self->decision_.port, self->decision_.command, result));
      },
      ticket_);
  if (ticket_) Watch();
}

template <class Stream>
void HttpSession<Stream>::Weigh() {
  Port* port = state_.hub.Find(decision_.port);
  if (port == nullptr) return ReplyJson(Status::not_found, ErrorJson("unknown-port"));
  if (port->mode == PortMode::kOnDemand) {
    return state_.hub.RequestCycle(*port, [self = this->shared_from_this()](const qel::Reading& r) {
      self->ReplyJson(Status::ok, ReadingJson(r));
    });
  }
  if (!decision_.stable) return ReplyJson(Status::ok, ReadingJson(state_.hub.Current(*port)));
  WaitStable(*port);
}

// Waits for a stable reading newer than this request, up to timeout_ms. Each port holds a
// bounded number of such waits.
template <class Stream>
void HttpSession<Stream>::WaitStable(Port& port) {
  auto self = this->shared_from_this();
  const std::optional<std::uint64_t> id = state_.hub.AddWaiter(
      port,
      [self](const qel::Reading& reading) { self->EndWait(Status::ok, ReadingJson(reading)); });
  if (!id) return ReplyJson(Status::service_unavailable, ErrorJson("too-many-waiters"));
  waiting_on_ = &port;
  waiter_ = *id;
  timer_.emplace(state_.ioc);
  timer_->expires_after(std::chrono::milliseconds(decision_.timeout_ms));
  Deadline().expires_never();
  timer_->async_wait([self](beast::error_code ec) {
    if (ec) return;  // answered meanwhile
    if (!self->state_.hub.RemoveWaiter(*self->waiting_on_, self->waiter_)) return;
    self->EndWait(Status::gateway_timeout, ErrorJson("no-stable-reading"));
  });
  Watch();
}

// Reads during the wait so a hang-up is seen at once rather than at the timeout. What a client
// sends meanwhile is its next request and stays in the buffer; once the buffer is full the
// watch stops and the timeout bounds the wait again.
template <class Stream>
void HttpSession<Stream>::Watch() {
  const std::size_t room = buffer_.max_size() - buffer_.size();
  if (room == 0) return;
  watching_ = true;
  stream_.async_read_some(buffer_.prepare(std::min<std::size_t>(room, 4096)),
                          [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                            self->watching_ = false;
                            self->buffer_.commit(n);
                            if (self->answer_) {
                              auto [status, body] = std::move(*self->answer_);
                              self->answer_.reset();
                              return self->ReplyJson(status, std::move(body));
                            }
                            if (ec) return self->Abandon();
                            self->Watch();
                          });
}

// Only one read at a time: a pending watch is cancelled and its end sends the answer.
template <class Stream>
void HttpSession<Stream>::EndWait(Status status, std::string body) {
  timer_.reset();
  if (!watching_) return ReplyJson(status, std::move(body));
  answer_.emplace(status, std::move(body));
  Deadline().cancel();
}

// The client is gone: nobody to answer, its place among the waiters and its connection freed.
template <class Stream>
void HttpSession<Stream>::Abandon() {
  if (waiting_on_ != nullptr) state_.hub.RemoveWaiter(*waiting_on_, waiter_);
  if (ticket_) {
    ticket_->Withdraw();
    ticket_.reset();
  }
  timer_.reset();
  Close();
}

template <class Stream>
void HttpSession<Stream>::Upgrade() {
  Port* port = state_.hub.Find(decision_.port);
  if (port == nullptr || port->mode != PortMode::kStream) {
    return ReplyJson(Status::bad_request, ErrorJson("stream-needs-stream-port"));
  }
  // From here on the WebSocket's own timeouts apply.
  Deadline().expires_never();
  auto session = std::make_shared<WebSocketSession<typename Transport<Stream>::WebSocketLayer>>(
      Transport<Stream>::HandOver(stream_), state_, *port);
  session->Accept(parser_->release(), decision_.websocket_protocol);
}

template <class Stream>
void HttpSession<Stream>::ReplyAsset(std::string_view type, std::string_view content) {
  if (content.empty()) return ReplyJson(Status::not_found, ErrorJson("not-found"));
  Reply(Status::ok, type, std::string(content));
}

template <class Stream>
void HttpSession<Stream>::Reply(Status status, std::string_view type, std::string body) {
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
    response->set(http::field::access_control_allow_methods, decision_.allow_method);
    // A page's command carries its JSON type, which is not one a cross-origin fetch may send
    // unasked.
    response->set(http::field::access_control_allow_headers, "Authorization, Content-Type");
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
  Deadline().expires_after(state_.config.limits.header_timeout);
  http::async_write(stream_, *response,
                    [self = this->shared_from_this(), response](beast::error_code ec, std::size_t) {
                      if (ec || !response->keep_alive()) return self->Close();
                      self->WaitNext();
                    });
}

}  // namespace qeld
