// Writes the protocol fuzzer's seeds into the folder named on the command line.
#include "protocol_seeds.h"

#include <cstdio>
#include <exception>
#include <fstream>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: protocol_seeds DIR\n");
    return 2;
  }
  try {
    for (const auto& [name, bytes] : qel::fuzzing::ProtocolSeeds()) {
      std::ofstream file(std::string(argv[1]) + "/" + name, std::ios::binary | std::ios::trunc);
      file << bytes;
      if (!file) {
        std::fprintf(stderr, "protocol_seeds: cannot write %s/%s\n", argv[1], name.c_str());
        return 1;
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "protocol_seeds: %s\n", error.what());
    return 1;
  }
  return 0;
}
