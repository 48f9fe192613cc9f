// The corpus of documented records: one file per protocol under tests/corpus/, each record
// the bytes a scale sends, what they say, and the public manual (address and page) whose
// layout they follow. The protocol tests, the property test, the fuzz seeds and the virtual
// scale's replay all read their records from here.
//
// The file is lines of words; `#` starts a comment line. Two kinds of line:
//   source NAME ADDRESS "PAGE"
//   record "BYTES" key=value ... source=NAME
// Quoted text takes \r \n \t \\ \" and \xHH. Record keys:
//   layout=NAME       the documented layout the record follows
//   kind=K            what the frame is: weight motion overload under-zero busy ack refused,
//                     or none (no reading: the record says nothing new)
//   value= unit= tare=  the weight, its unit and the tare carried (ScaleFrame's syntax)
//   stable=yes|no net=yes|no
//   carries=N         a number the record holds without reporting it (a withheld weight)
//   zero=K tare-reply=K  how the record answers that command: ack refused busy
//   checksum=yes      the record carries a checksum (every change must be caught)
//   status-words=N    binary status bytes from offset 1, outside any checksum
//   follower=yes      the property test's follower record
//   sent=no           a record no scale sends on its own (left out of replays)
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel::corpus {

struct Source {
  std::string name;
  std::string address;
  std::string page;
};

struct Record {
  std::string bytes;
  std::string layout;
  std::string kind;  // "" when the record is only a command answer
  std::string value;
  std::string unit;
  std::string tare;
  std::string carries;
  std::optional<bool> stable;
  std::optional<bool> net;
  std::string zero;        // answer to zero: "ack", "refused", "busy"; "" when none
  std::string tare_reply;  // the same for tare
  bool checksum = false;
  std::size_t status_words = 0;
  bool follower = false;
  bool sent = true;
  Source source;
  std::size_t line = 0;  // in the file, for messages
};

struct Corpus {
  std::string protocol;  // the file's name without ".txt"
  std::vector<Source> sources;
  std::vector<Record> records;
};

// Reads `text` as the corpus of `protocol`; nothing and `error` set ("line 4: ...") when a
// line breaks the format or a record names no known source.
std::optional<Corpus> ParseCorpus(std::string_view protocol, std::string_view text,
                                  std::string& error);

// Reads the file at `path` (its protocol is the file name without ".txt").
std::optional<Corpus> LoadCorpus(const std::string& path, std::string& error);

// The corpus file of `protocol` in this source tree (corpus_path.cpp, in qel_corpus only).
std::string CorpusPath(std::string_view protocol);

// `bytes` as the corpus writes them: printable ASCII kept, the rest escaped.
std::string Escaped(std::string_view bytes);

}  // namespace qel::corpus
