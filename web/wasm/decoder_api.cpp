// The core's protocols as the JavaScript package calls them: create a decoder for a protocol,
// push the bytes a transport received, get back the readings they completed as JSON text, free
// it. The bytes go through the core's own ScaleLink, so a frame is cut and read exactly as the
// service cuts and reads it.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "hid_scale.h"
#include "json_text.h"
#include "protocol.h"
#include "reading.h"
#include "scale_link.h"
#include "weight_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

// A port that reads what was pushed into it, at most one read's worth at a time.
class PushedBytes final : public qel::SerialApi {
 public:
  void Push(const std::uint8_t* data, std::uint32_t size) {
    bytes_.assign(reinterpret_cast<const char*>(data), size);
    offset_ = 0;
  }
  bool empty() const { return offset_ >= bytes_.size(); }

  qel::OpenOutcome Open(const std::string&) override { return {}; }
  void Purge(qel::PortHandle) override {}
  qel::SysStatus SetState(qel::PortHandle, const qel::LineSettings&) override { return {}; }
  qel::SysStatus SetTimeouts(qel::PortHandle, const qel::CommTimeouts&) override { return {}; }
  qel::ReadOutcome Read(qel::PortHandle, std::uint8_t* buffer, std::uint32_t count) override {
    const std::size_t size = std::min<std::size_t>(count, bytes_.size() - offset_);
    std::memcpy(buffer, bytes_.data() + offset_, size);
    offset_ += size;
    return {qel::SysStatus::Ok(), static_cast<std::uint32_t>(size)};
  }
  qel::SysStatus Write(qel::PortHandle, const std::uint8_t*, std::uint32_t) override { return {}; }
  void Close(qel::PortHandle) override {}

 private:
  std::string bytes_;
  std::size_t offset_ = 0;
};

using qelweb::JsonString;

// A protocol's normalised number ("-1.50", "12"); anything else is written as null.
std::string NumberOrNull(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
  const std::size_t point = digits.find('.');
  bool number = !digits.empty() && point != 0 && point + 1 != digits.size();
  for (std::size_t i = 0; number && i < digits.size(); ++i) {
    number = i == point || (digits[i] >= '0' && digits[i] <= '9');
  }
  return number ? std::string(text) : std::string("null");
}

std::string OptionalBool(const std::optional<bool>& value) {
  return !value ? "null" : (*value ? "true" : "false");
}

// The reading as the service's JSON writes it, less "port" and "at", which the caller adds.
std::string ReadingJson(const qel::Reading& reading) {
  std::string out = "{\"ok\":";
  out += reading.ok ? "true" : "false";
  out += ",\"value\":" + (reading.ok ? NumberOrNull(reading.value) : std::string("null"));
  out += ",\"text\":" + JsonString(reading.ok ? reading.text : "0");
  out += ",\"stable\":" + OptionalBool(reading.stable);
  out += ",\"protocol\":" + JsonString(reading.protocol);
  out += ",\"unit\":" + (reading.unit.empty() ? std::string("null") : JsonString(reading.unit));
  out += ",\"net\":" + OptionalBool(reading.net);
  out += ",\"tare\":" + NumberOrNull(reading.tare);
  if (!reading.ok) {
    const std::string_view error = qel::ReadingErrorName(reading.error);
    out += ",\"error\":" + JsonString(error.empty() ? "no-reading" : error);
    out += ",\"message\":null";
  }
  return out + '}';
}

struct Decoder {
  Decoder(const qel::Protocol& protocol, std::chrono::milliseconds stable_for,
          qel::NumberFormat number_format)
      : link(port, 0, protocol), stability(stable_for), format(std::move(number_format)) {}

  PushedBytes port;
  qel::ScaleLink link;
  qel::StabilityTracker stability;
  qel::NumberFormat format;
  std::string output;
  int expected = -1;  // the command whose answer is awaited: 0 zero, 1 tare, -1 none
  int answer = 0;     // how the scale answered it (KindCode); 0 while it has not
};

// Command answers are no readings; every other frame is one, stable as the service says it.
void AppendReading(Decoder& decoder, const std::string& frame) {
  const qel::Protocol& protocol = decoder.link.protocol();
  const qel::ScaleFrame decoded = protocol.decode(frame);
  // A frame without weight or fault leaves the reading before standing, as in the service.
  if (decoded.kind == qel::ScaleFrame::Kind::kAcknowledged ||
      decoded.kind == qel::ScaleFrame::Kind::kRefused ||
      decoded.kind == qel::ScaleFrame::Kind::kNoWeight) {
    return;
  }
  qel::Reading reading = qel::ReadingFromFrame(decoded, protocol, true, decoder.format);
  const Clock::time_point now = Clock::now();
  decoder.stability.OnFrame(reading.ok ? reading.value : std::string(), now);
  if (reading.ok && !protocol.motion_flag) reading.stable = decoder.stability.IsStable(now);
  decoder.output += decoder.output.size() > 1 ? "," : "";
  decoder.output += ReadingJson(reading);
}

int KindCode(qel::ScaleFrame::Kind kind) {
  switch (kind) {
    case qel::ScaleFrame::Kind::kAcknowledged:
      return 1;
    case qel::ScaleFrame::Kind::kRefused:
      return 2;
    case qel::ScaleFrame::Kind::kBusy:
      return 3;
    default:
      return 0;
  }
}

// Whether `frame` answers the command awaited, as the stream engine tells: such a frame is no
// reading.
bool Answers(Decoder& decoder, const std::string& frame) {
  const qel::Protocol& protocol = decoder.link.protocol();
  if (decoder.expected < 0 || decoder.answer != 0 || protocol.reply == nullptr) return false;
  const qel::ScaleCommand which =
      decoder.expected == 0 ? qel::ScaleCommand::kZero : qel::ScaleCommand::kTare;
  decoder.answer = KindCode(protocol.reply(which, frame));
  return decoder.answer != 0;
}

std::string g_protocol_list;

}  // namespace

extern "C" {

void* qel_alloc(std::uint32_t size) { return std::malloc(size == 0 ? 1 : size); }
void qel_release(void* memory) { std::free(memory); }

// The protocol ids, comma-separated, the driver's own first.
const char* qel_protocols() {
  g_protocol_list.clear();
  for (const qel::Protocol* protocol : qel::Protocols()) {
    if (!g_protocol_list.empty()) g_protocol_list += ',';
    g_protocol_list += protocol->id;
  }
  return g_protocol_list.c_str();
}

// Nothing (0) for an unknown protocol id.
Decoder* qel_decoder_create(const char* id, std::uint32_t stable_ms, const char* decimal_separator,
                            int leading_zero) {
  const qel::Protocol* protocol = qel::FindProtocol(id);
  if (protocol == nullptr) return nullptr;
  qel::NumberFormat format;
  format.decimal_separator = decimal_separator;
  format.leading_zero = leading_zero != 0;
  return new Decoder(*protocol, std::chrono::milliseconds(stable_ms), std::move(format));
}

// The readings the bytes completed, as a JSON array; valid until the next call on `decoder`.
const char* qel_decoder_push(Decoder* decoder, const std::uint8_t* data, std::uint32_t size) {
  decoder->output = "[";
  decoder->port.Push(data, size);
  while (!decoder->port.empty()) {
    std::vector<std::string> frames;
    decoder->link.ReadFrames(frames);
    for (const std::string& frame : frames) {
      if (!Answers(*decoder, frame)) AppendReading(*decoder, frame);
    }
  }
  decoder->output += ']';
  return decoder->output.c_str();
}

// How `frame` answers zero (0) or tare (1): 1 acknowledged, 2 refused, 3 busy, 0 no answer.
int qel_decoder_reply(Decoder* decoder, int command, const std::uint8_t* frame,
                      std::uint32_t size) {
  const qel::Protocol& protocol = decoder->link.protocol();
  if (protocol.reply == nullptr) return 0;
  const qel::ScaleCommand which =
      command == 0 ? qel::ScaleCommand::kZero : qel::ScaleCommand::kTare;
  return KindCode(
      protocol.reply(which, std::string_view(reinterpret_cast<const char*>(frame), size)));
}

// From now on frames are first checked as answers to `command` (0 zero, 1 tare, -1 none).
void qel_decoder_expect(Decoder* decoder, int command) {
  decoder->expected = command;
  decoder->answer = 0;
}

// How the awaited command was answered since qel_decoder_expect: as qel_decoder_reply.
int qel_decoder_answer(Decoder* decoder) { return decoder->answer; }

void qel_decoder_free(Decoder* decoder) { delete decoder; }

// One USB scale report's data (without its report id) as a reading's JSON; valid until the
// next call.
const char* qel_hid_decode(const std::uint8_t* data, std::uint32_t size,
                           const char* decimal_separator, int leading_zero) {
  static qel::Protocol hid = [] {
    qel::Protocol protocol;
    protocol.id = "hid-scale";
    protocol.name = "USB point-of-sale scale";
    protocol.motion_flag = true;
    return protocol;
  }();
  static std::string output;
  qel::NumberFormat format;
  format.decimal_separator = decimal_separator;
  format.leading_zero = leading_zero != 0;
  const qel::ScaleFrame frame =
      qel::DecodeHidScaleReport(std::string_view(reinterpret_cast<const char*>(data), size));
  output = ReadingJson(qel::ReadingFromFrame(frame, hid, true, format));
  return output.c_str();
}

}  // extern "C"
