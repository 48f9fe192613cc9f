#pragma once

namespace qelcli {

// "qelscale watch PORT [--json] [--stable-ms N] [--count N]": holds PORT open with the stream
// engine and prints one line per change of weight, stability or error.
int Watch(int argc, char** argv);

}  // namespace qelcli
