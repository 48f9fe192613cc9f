// Damage never shows a wrong weight: for every protocol, every corpus record cut at every
// byte, and every sample record with any one byte changed, decodes to no reading, to a
// reading without weight, or to the weight the record carried, never to another number.
//
// Without a checksum a line cannot tell a changed digit from a different weight ("1.234" ->
// "1.284" is a valid record too), nor a blank, point or sign turned into another of those.
// Two more are unavoidable without a checksum: a bit changed in a binary status word (the
// decimal point and sign of the continuous Toledo record), and a start or end byte written
// into a field of varying length (the 8217 answer, the NCI weight and unit), which leaves a
// shorter valid record. For records without a checksum those changes are left out: the
// property covers every change that breaks the grammar. Records with a checksum must catch every
// change.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "corpus.h"
#include "protocol.h"
#include "protocol_test_support.h"

namespace qel {
namespace {

using testing::Checksum7;
using testing::DecodeAll;
using testing::ProtocolById;

struct Sample {
  std::string bytes;
  std::string value;  // the number the record carries, in whatever role; "" for none
  bool checksum = false;
  std::size_t status_words = 0;  // binary status bytes from offset 1, without checksum
  bool reading = true;           // decodes to a frame (not a bare status or a mere answer)
};

struct ProtocolSamples {
  std::string_view id;
  std::vector<Sample> samples;
  Sample follower;                   // a record with a value no single change of the samples gives
  std::string_view delimiters = {};  // bytes that end a field of varying length
};

std::string WithChecksum(std::string record) {
  record += Checksum7(record);
  return record;
}

// Bytes around a field of varying length, by protocol: the 8217's start, end and net mark,
// and the NCI answer's start and the first letters of units that leave a shorter unit when
// turned into a digit ("kg" -> "0g"), and the single-cable scanner-scale's CR, which inside
// five kilogram digits leaves four, a pound weight.
std::string_view Delimiters(std::string_view id) {
  if (id == "toledo-8217") return "\x02\rN";
  if (id == "magellan") return "\r";
  if (id == "nci") return "\nkmcKMC";
  return {};
}

// Each protocol's records from the corpus: the follower and every other record.
std::vector<ProtocolSamples> AllSamples() {
  std::vector<ProtocolSamples> all;
  for (const Protocol* protocol : Protocols()) {
    std::string error;
    const std::optional<corpus::Corpus> records =
        corpus::LoadCorpus(corpus::CorpusPath(protocol->id), error);
    if (!records) throw std::runtime_error(error);
    ProtocolSamples set{protocol->id, {}, {}, Delimiters(protocol->id)};
    for (const corpus::Record& record : records->records) {
      const std::string& number = !record.value.empty()  ? record.value
                                  : !record.tare.empty() ? record.tare
                                                         : record.carries;
      const bool reading = !record.kind.empty() && record.kind != "none";
      Sample sample{record.bytes, number, record.checksum, record.status_words, reading};
      if (record.follower) {
        set.follower = sample;
      } else {
        set.samples.push_back(sample);
      }
    }
    if (set.follower.bytes.empty()) throw std::runtime_error("no follower in " + records->protocol);
    all.push_back(std::move(set));
  }
  return all;
}

// Characters that form numbers, so a change among them may form another valid number.
bool NumberCharacter(char c) {
  return (c >= '0' && c <= '9') || c == '.' || c == ' ' || c == '-' || c == '+';
}

// A change that gives another valid record on a line without checksum (see the top).
bool Unavoidable(const ProtocolSamples& set, const Sample& sample, std::size_t at,
                 char replacement) {
  if (sample.checksum) return false;
  const char original = sample.bytes[at];
  return (NumberCharacter(original) && NumberCharacter(replacement)) ||
         (at >= 1 && at <= sample.status_words) ||
         set.delimiters.find(replacement) != std::string_view::npos ||
         set.delimiters.find(original) != std::string_view::npos;
}

std::vector<char> Replacements(char original) {
  std::vector<char> values = {static_cast<char>(original | 0x80),
                              static_cast<char>(original ^ 0x01),
                              static_cast<char>(original ^ 0x20),
                              ' ',
                              '.',
                              '-',
                              '+',
                              'A',
                              'S',
                              'k',
                              '\x02',
                              '\r',
                              '\n',
                              '=',
                              '?',
                              '\0',
                              '\x7F'};
  for (char digit = '0'; digit <= '9'; ++digit) values.push_back(digit);
  return values;
}

// Weights decoded from `stream` that are neither of `allowed`.
std::vector<std::string> WrongWeights(const Protocol& protocol, const std::string& stream,
                                      const std::vector<std::string>& allowed) {
  std::vector<std::string> wrong;
  for (const ScaleFrame& frame : DecodeAll(protocol, stream)) {
    if (frame.kind != ScaleFrame::Kind::kWeight) continue;
    bool ok = false;
    for (const std::string& value : allowed) ok = ok || frame.value == value;
    if (!ok) wrong.push_back(frame.value);
  }
  return wrong;
}

std::string Printable(const std::string& bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      text += c;
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      text += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 15];
    }
  }
  return text;
}

TEST(ProtocolProperty, SamplesAndFollowersDecodeToTheirValues) {
  for (const ProtocolSamples& set : AllSamples()) {
    const Protocol& protocol = ProtocolById(set.id);
    std::vector<Sample> all = set.samples;
    all.push_back(set.follower);
    for (const Sample& sample : all) {
      // Each record, released by the follower where the split waits for one more byte.
      const auto frames = DecodeAll(protocol, sample.bytes + set.follower.bytes);
      ASSERT_GE(frames.size(), 1u) << set.id << " " << Printable(sample.bytes);
      if (frames[0].kind == ScaleFrame::Kind::kWeight) {
        EXPECT_EQ(frames[0].value, sample.value) << set.id;
      } else if (sample.reading) {
        EXPECT_NE(frames[0].kind, ScaleFrame::Kind::kInvalid)
            << set.id << " " << Printable(sample.bytes);
      }
    }
  }
}

TEST(ProtocolProperty, CutRecordsShowNoOtherWeight) {
  for (const ProtocolSamples& set : AllSamples()) {
    const Protocol& protocol = ProtocolById(set.id);
    for (const Sample& sample : set.samples) {
      for (std::size_t cut = 0; cut < sample.bytes.size(); ++cut) {
        const std::string prefix = sample.bytes.substr(0, cut);
        EXPECT_EQ(WrongWeights(protocol, prefix, {sample.value}), std::vector<std::string>{})
            << set.id << " cut at " << cut << " of " << Printable(sample.bytes);
        EXPECT_EQ(
            WrongWeights(protocol, prefix + set.follower.bytes, {sample.value, set.follower.value}),
            std::vector<std::string>{})
            << set.id << " cut at " << cut << " of " << Printable(sample.bytes);
      }
    }
  }
}

TEST(ProtocolProperty, ChangedBytesShowNoOtherWeight) {
  for (const ProtocolSamples& set : AllSamples()) {
    const Protocol& protocol = ProtocolById(set.id);
    for (const Sample& sample : set.samples) {
      for (std::size_t at = 0; at < sample.bytes.size(); ++at) {
        const char original = sample.bytes[at];
        for (const char replacement : Replacements(original)) {
          if (replacement == original) continue;
          if (Unavoidable(set, sample, at, replacement)) continue;
          std::string changed = sample.bytes;
          changed[at] = replacement;
          EXPECT_EQ(WrongWeights(protocol, changed + set.follower.bytes,
                                 {sample.value, set.follower.value}),
                    std::vector<std::string>{})
              << set.id << ": " << Printable(changed);
        }
      }
    }
  }
}

// The checksum catches what the grammar cannot: every digit changed into every other one.
TEST(ProtocolProperty, ChecksumCatchesEveryDigitChange) {
  const Protocol& protocol = ProtocolById("toledo-continuous");
  const std::string record = WithChecksum("\x02-0 001234005000\r");
  for (std::size_t at = 4; at < 16; ++at) {
    for (char digit = '0'; digit <= '9'; ++digit) {
      if (digit == record[at]) continue;
      std::string changed = record;
      changed[at] = digit;
      EXPECT_EQ(protocol.decode(changed).kind, ScaleFrame::Kind::kInvalid) << Printable(changed);
    }
  }
}

}  // namespace
}  // namespace qel
