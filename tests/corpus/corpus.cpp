#include "corpus.h"

#include <fstream>
#include <sstream>

namespace qel::corpus {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The escape after a backslash at `text[at]`; advances `at` past it.
std::optional<char> Unescape(std::string_view text, std::size_t& at) {
  if (at >= text.size()) return std::nullopt;
  const char c = text[at++];
  switch (c) {
    case 'r':
      return '\r';
    case 'n':
      return '\n';
    case 't':
      return '\t';
    case '\\':
    case '"':
      return c;
    case 'x': {
      if (at + 2 > text.size()) return std::nullopt;
      const int high = HexDigit(text[at]);
      const int low = HexDigit(text[at + 1]);
      if (high < 0 || low < 0) return std::nullopt;
      at += 2;
      return static_cast<char>(high * 16 + low);
    }
    default:
      return std::nullopt;
  }
}

// Splits a line into words; a quoted word may hold blanks and escapes. A word "key=" followed
// by a quoted part is one word.
std::optional<std::vector<std::string>> Words(std::string_view line) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at < line.size()) {
    if (line[at] == ' ' || line[at] == '\t') {
      ++at;
      continue;
    }
    std::string word;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') {
      if (line[at] != '"') {
        word += line[at++];
        continue;
      }
      ++at;
      while (at < line.size() && line[at] != '"') {
        if (line[at] != '\\') {
          word += line[at++];
          continue;
        }
        ++at;
        const std::optional<char> c = Unescape(line, at);
        if (!c) return std::nullopt;
        word += *c;
      }
      if (at >= line.size()) return std::nullopt;  // no closing quote
      ++at;
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::optional<bool> YesNo(std::string_view text) {
  if (text == "yes") return true;
  if (text == "no") return false;
  return std::nullopt;
}

constexpr std::string_view kKinds[] = {"weight", "motion", "overload", "under-zero",
                                       "busy",   "ack",    "refused",  "none"};
constexpr std::string_view kAnswers[] = {"ack", "refused", "busy"};

template <std::size_t N>
bool OneOf(std::string_view text, const std::string_view (&allowed)[N]) {
  for (const std::string_view word : allowed) {
    if (text == word) return true;
  }
  return false;
}

// Applies a yes/no key; false for a bad value.
bool ApplyFlag(std::string_view key, std::string_view value, Record& record) {
  const std::optional<bool> flag = YesNo(value);
  if (!flag) return false;
  if (key == "stable") record.stable = flag;
  if (key == "net") record.net = flag;
  if (key == "checksum") record.checksum = *flag;
  if (key == "follower") record.follower = *flag;
  if (key == "sent") record.sent = *flag;
  return true;
}

// Applies one key=value word to `record`; false for an unknown key or a bad value.
bool ApplyKey(std::string_view key, const std::string& value, Record& record) {
  struct Text {
    std::string_view key;
    std::string Record::*field;
  };
  static const Text kTexts[] = {{"layout", &Record::layout},
                                {"kind", &Record::kind},
                                {"value", &Record::value},
                                {"unit", &Record::unit},
                                {"tare", &Record::tare},
                                {"zero", &Record::zero},
                                {"tare-reply", &Record::tare_reply},
                                {"carries", &Record::carries}};
  for (const Text& text : kTexts) {
    if (key == text.key) record.*text.field = value;
  }
  if (key == "kind") return OneOf(value, kKinds);
  if (key == "zero" || key == "tare-reply") return OneOf(value, kAnswers);
  for (const Text& text : kTexts) {
    if (key == text.key) return true;
  }
  for (const std::string_view flag : {"stable", "net", "checksum", "follower", "sent"}) {
    if (key == flag) return ApplyFlag(key, value, record);
  }
  if (key == "status-words" && value.size() == 1 && value[0] >= '0' && value[0] <= '9') {
    record.status_words = static_cast<std::size_t>(value[0] - '0');
    return true;
  }
  return false;
}

// A record line's words after "record"; the error names what is wrong.
std::optional<Record> ParseRecord(const std::vector<std::string>& words,
                                  const std::vector<Source>& sources, std::string& error) {
  if (words.size() < 2) {
    error = "a record needs its bytes";
    return std::nullopt;
  }
  Record record;
  record.bytes = words[1];
  std::string source;
  for (std::size_t i = 2; i < words.size(); ++i) {
    const std::size_t equals = words[i].find('=');
    const std::string key = words[i].substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : words[i].substr(equals + 1);
    if (key == "source") {
      source = value;
    } else if (equals == std::string::npos || !ApplyKey(key, value, record)) {
      error = "bad field '" + words[i] + "'";
      return std::nullopt;
    }
  }
  for (const Source& known : sources) {
    if (known.name == source) record.source = known;
  }
  if (record.source.name.empty()) error = "unknown source '" + source + "'";
  if (record.kind.empty() && record.zero.empty() && record.tare_reply.empty()) {
    error = "a record says nothing (no kind and no answer)";
  }
  if (!error.empty()) return std::nullopt;
  return record;
}

// One line into `corpus`; false with `error` set when it breaks the format.
bool ParseLine(std::string_view line, Corpus& corpus, std::string& error) {
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string_view::npos || line[first] == '#') return true;
  const std::optional<std::vector<std::string>> words = Words(line);
  if (!words) {
    error = "broken quoting or escape";
    return false;
  }
  if ((*words)[0] == "source") {
    if (words->size() != 4) {
      error = "a source is: source NAME ADDRESS \"PAGE\"";
      return false;
    }
    corpus.sources.push_back(Source{(*words)[1], (*words)[2], (*words)[3]});
    return true;
  }
  if ((*words)[0] != "record") {
    error = "unknown line '" + (*words)[0] + "'";
    return false;
  }
  std::optional<Record> record = ParseRecord(*words, corpus.sources, error);
  if (!record) return false;
  corpus.records.push_back(std::move(*record));
  return true;
}

}  // namespace

std::optional<Corpus> ParseCorpus(std::string_view protocol, std::string_view text,
                                  std::string& error) {
  Corpus corpus;
  corpus.protocol = protocol;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!ParseLine(line, corpus, error)) {
      error = "line " + std::to_string(number) + ": " + error;
      return std::nullopt;
    }
    if (!corpus.records.empty() && corpus.records.back().line == 0) {
      corpus.records.back().line = number;
    }
  }
  return corpus;
}

std::optional<Corpus> LoadCorpus(const std::string& path, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read " + path;
    return std::nullopt;
  }
  std::ostringstream text;
  text << file.rdbuf();
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.size() > 4 && name.substr(name.size() - 4) == ".txt") name.resize(name.size() - 4);
  std::optional<Corpus> corpus = ParseCorpus(name, text.str(), error);
  if (!corpus) error = path + ": " + error;
  return corpus;
}

std::string Escaped(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\\' || c == '"') {
      text += '\\';
      text += c;
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += c;
    } else {
      text += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 15];
    }
  }
  return text;
}

}  // namespace qel::corpus
