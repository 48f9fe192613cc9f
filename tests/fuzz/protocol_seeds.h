// The protocol fuzzer's seeds, made from the corpus of documented records: for each protocol
// one seed, its index in the table as the first byte, then every record back to back.
// `protocol_seeds DIR` writes them; a unit test checks that tests/fuzz/protocol_corpus holds
// exactly these.
#pragma once

#include <map>
#include <stdexcept>
#include <string>

#include "corpus.h"
#include "protocol.h"

namespace qel::fuzzing {

// File name to contents.
inline std::map<std::string, std::string> ProtocolSeeds() {
  std::map<std::string, std::string> seeds;
  const auto& table = Protocols();
  for (std::size_t index = 0; index < table.size(); ++index) {
    std::string error;
    const auto records = corpus::LoadCorpus(corpus::CorpusPath(table[index]->id), error);
    if (!records) throw std::runtime_error(error);
    std::string seed(1, static_cast<char>(index));
    for (const corpus::Record& record : records->records) seed += record.bytes;
    seeds[std::string(table[index]->id)] = seed;
  }
  return seeds;
}

}  // namespace qel::fuzzing
