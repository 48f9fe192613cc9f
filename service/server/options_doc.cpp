// Writes a packaged file from its template, the line "@QELSCALED_OPTIONS@" replaced by the
// option table: as comments for the configuration file, as paragraphs for the man page.
//   qelscaled_options_doc conf|man TEMPLATE OUTPUT
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "options.h"

int main(int argc, char** argv) {
  const std::string_view kind = argc == 4 ? argv[1] : "";
  if (kind != "conf" && kind != "man") {
    std::fputs("usage: qelscaled_options_doc conf|man TEMPLATE OUTPUT\n", stderr);
    return 2;
  }
  std::ifstream in(argv[2]);
  if (!in) {
    std::fprintf(stderr, "qelscaled_options_doc: cannot read %s\n", argv[2]);
    return 1;
  }
  const std::string list = kind == "conf" ? qeld::FormatOptionList("# ") : qeld::FormatManOptions();
  std::ostringstream out;
  bool replaced = false;
  for (std::string line; std::getline(in, line);) {
    if (line == "@QELSCALED_OPTIONS@") {
      out << list;
      replaced = true;
    } else {
      out << line << '\n';
    }
  }
  std::ofstream file(argv[3], std::ios::binary);
  file << out.str();
  if (!replaced || !file.flush()) {
    std::fprintf(stderr,
                 "qelscaled_options_doc: %s: no @QELSCALED_OPTIONS@ line, or %s unwritable\n",
                 argv[2], argv[3]);
    return 1;
  }
  return 0;
}
