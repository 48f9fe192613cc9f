#include "tls.h"

namespace qeld::tls {

Loaded Load(const Files& files) {
  if (files.cert.empty() && files.key.empty()) return {};
  return {nullptr,
          "--tls-cert and --tls-key: this build has no TLS (no OpenSSL); put a TLS "
          "proxy in front, or use the Linux build"};
}

// Never called: without a context there is nothing to reload.
std::string Reload(boost::asio::ssl::context&, const Files&) { return "this build has no TLS"; }

}  // namespace qeld::tls
