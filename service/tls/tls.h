// Optional TLS on the listener, for browsers that keep an https page from plain http on
// loopback. Built on OpenSSL where the build has it (Linux); the Windows cross builds have no
// OpenSSL and get the same calls answering that TLS is not in this build, so no caller asks
// which kind it runs on.
#pragma once

#include <memory>
#include <string>

namespace boost::asio::ssl {
class context;
}  // namespace boost::asio::ssl

namespace qeld::tls {

// --tls-cert and --tls-key: a PEM certificate chain (the server's first) and its PEM key.
struct Files {
  std::string cert;
  std::string key;
};

// A server context when both files load and match; none (and no error) when neither is
// given; otherwise the error text, ready for the log.
struct Loaded {
  std::shared_ptr<boost::asio::ssl::context> context;
  std::string error;
};

Loaded Load(const Files& files);

// Loads `files` again into `live` for the connections accepted from now on; those already
// open keep the pair they began with. Empty when done; otherwise the error text, and `live`
// keeps its pair. Only on the thread that starts the connections.
std::string Reload(boost::asio::ssl::context& live, const Files& files);

}  // namespace qeld::tls
