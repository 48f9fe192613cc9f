// "--protocol replay:FILE": the scale of FILE's protocol sends the records of that corpus file
// (tests/corpus/<id>.txt) in turn instead of its own frames: a continuous scale one after the
// other, round after round; a polled one answers each request its own emulation would answer
// with the next record. The documented records then reach a reader as a real scale sends them.
#include <cstdio>

#include "corpus.h"
#include "emulation.h"

namespace vscale {
namespace {

// One replay per process, as there is one scale.
struct Replay {
  const Emulation* base = nullptr;
  std::vector<std::string> records;
  std::size_t next = 0;
  Emulation emulation;
};

Replay& Current() {
  static Replay replay;
  return replay;
}

std::string NextRecord() {
  Replay& replay = Current();
  if (replay.records.empty()) return {};
  const std::string& record = replay.records[replay.next % replay.records.size()];
  ++replay.next;
  return record;
}

std::string Frame(const ScaleState&) { return NextRecord(); }

std::string Answer(std::string& input, ScaleState& state) {
  const std::string own = Current().base->answer(input, state);
  return own.empty() ? own : NextRecord();
}

}  // namespace

const Emulation* ReplayEmulation(std::string_view path) {
  std::string error;
  const std::optional<qel::corpus::Corpus> corpus =
      qel::corpus::LoadCorpus(std::string(path), error);
  if (!corpus) {
    std::fprintf(stderr, "virtual_scale: %s\n", error.c_str());
    return nullptr;
  }
  const Emulation* base = FindEmulation(corpus->protocol);
  if (base == nullptr) return nullptr;
  Replay& replay = Current();
  replay.base = base;
  replay.records.clear();
  for (const qel::corpus::Record& record : corpus->records) {
    if (record.sent && !record.kind.empty()) replay.records.push_back(record.bytes);
  }
  replay.next = 0;
  replay.emulation = *base;
  replay.emulation.frame = base->polled() ? nullptr : Frame;
  replay.emulation.answer = base->polled() ? Answer : nullptr;
  return &replay.emulation;
}

}  // namespace vscale
