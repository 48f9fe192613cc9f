#include "scale_link.h"

#include <algorithm>

#include "module_api.h"

namespace qel {
namespace {

// A frame longer than this is no frame of any protocol: what piles up without one is noise.
constexpr std::size_t kMaxPending = 512;

}  // namespace

std::string_view CommandResultName(CommandResult result) {
  switch (result) {
    case CommandResult::kAcknowledged:
      return "acknowledged";
    case CommandResult::kNotSupported:
      return "not-supported";
    case CommandResult::kRefused:
      return "command-refused";
    case CommandResult::kNoAnswer:
      return "no-answer";
    case CommandResult::kTooManyCommands:
      return "too-many-commands";
  }
  return "no-answer";
}

ReadOutcome ScaleLink::ReadFrames(std::vector<std::string>& frames) {
  std::uint8_t buffer[kRxBufferSize];
  const ReadOutcome read = serial_.Read(handle_, buffer, kReadSize);
  if (!read.status.ok) {
    pending_.clear();
    return read;
  }
  pending_.append(reinterpret_cast<const char*>(buffer),
                  std::min<std::uint32_t>(read.bytes_read, kReadSize));
  std::size_t start = 0;
  for (;;) {
    std::string_view frame;
    const std::size_t used = protocol_.split(std::string_view(pending_).substr(start), frame);
    if (used == 0) break;
    if (!frame.empty()) frames.emplace_back(frame);
    start += used;
  }
  pending_.erase(0, start);
  if (pending_.size() > kMaxPending) pending_.erase(0, pending_.size() - kMaxPending);
  return read;
}

SysStatus ScaleLink::Send(std::string_view bytes) {
  return serial_.Write(handle_, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                       static_cast<std::uint32_t>(bytes.size()));
}

std::string LocaleText(std::string_view value, const NumberFormat& format) {
  std::string text;
  const bool negative = !value.empty() && value.front() == '-';
  if (negative) value.remove_prefix(1);
  if (!format.leading_zero && value.size() > 1 && value[0] == '0' && value[1] == '.') {
    value.remove_prefix(1);
  }
  if (negative) text += '-';
  for (const char c : value) {
    if (c == '.') {
      text += format.decimal_separator;
    } else {
      text += c;
    }
  }
  return text;
}

namespace {

ReadingError ErrorOf(ScaleFrame::Kind kind) {
  switch (kind) {
    case ScaleFrame::Kind::kWeight:
      return ReadingError::kNone;
    case ScaleFrame::Kind::kOverload:
      return ReadingError::kOverload;
    case ScaleFrame::Kind::kUnderZero:
      return ReadingError::kUnderZero;
    case ScaleFrame::Kind::kBusy:
      return ReadingError::kScaleBusy;
    default:
      return ReadingError::kNoReading;
  }
}

}  // namespace

Reading ReadingFromFrame(const ScaleFrame& frame, const Protocol& protocol, bool tag,
                         const NumberFormat& format) {
  Reading reading;
  reading.at = std::chrono::system_clock::now();
  reading.error = ErrorOf(frame.kind);
  reading.ok = reading.error == ReadingError::kNone && !frame.value.empty();
  if (!reading.ok && reading.error == ReadingError::kNone) reading.error = ReadingError::kNoReading;
  if (reading.ok) {
    reading.value = frame.value;
    reading.text = LocaleText(frame.value, format);
    reading.stable = frame.stable;
  } else {
    // Moving, over or under: never a weight, and never stable.
    reading.stable = false;
  }
  if (tag) {
    reading.protocol = std::string(protocol.id);
    reading.unit = std::string(WeightUnitName(frame.unit));
    reading.net = frame.net;
    reading.tare = frame.tare;
  }
  return reading;
}

}  // namespace qel
