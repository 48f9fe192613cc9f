// Where the corpus files are in this source tree: for the tests, not for installed programs.
#include "corpus.h"

namespace qel::corpus {

std::string CorpusPath(std::string_view protocol) {
  return std::string(QEL_CORPUS_DIR) + "/" + std::string(protocol) + ".txt";
}

}  // namespace qel::corpus
