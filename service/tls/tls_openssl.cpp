#include <boost/asio/ssl/context.hpp>
#include <boost/system/system_error.hpp>

#include "tls.h"

namespace qeld::tls {
namespace {

namespace ssl = boost::asio::ssl;

// The single place a load failure becomes text.
Loaded Failed(const char* what, const std::string& path, const std::string& reason) {
  Loaded loaded;
  loaded.error = std::string(what) + " " + path + ": " + reason;
  return loaded;
}

}  // namespace

Loaded Load(const Files& files) {
  if (files.cert.empty() && files.key.empty()) return {};
  if (files.cert.empty() || files.key.empty()) {
    return {nullptr, "--tls-cert and --tls-key go together"};
  }
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  // TLS 1.2 and later only: what every browser that asks for Local Network Access speaks.
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                       ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                       ssl::context::single_dh_use);
  boost::system::error_code ec;
  context->use_certificate_chain_file(files.cert, ec);
  if (ec) return Failed("--tls-cert", files.cert, ec.message());
  // OpenSSL refuses here a key that does not belong to the certificate.
  context->use_private_key_file(files.key, ssl::context::pem, ec);
  if (ec) return Failed("--tls-key", files.key, ec.message());
  return {std::move(context), ""};
}

}  // namespace qeld::tls
