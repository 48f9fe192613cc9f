#include <openssl/ssl.h>

#include <boost/asio/ssl/context.hpp>
#include <boost/system/system_error.hpp>

#include "secret_file.h"
#include "tls.h"

namespace qeld::tls {
namespace {

namespace ssl = boost::asio::ssl;

// TLS 1.2 suites with forward secrecy and an AEAD cipher only: no static RSA key exchange, no
// CBC. TLS 1.3 has nothing else.
constexpr char kTls12Ciphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr char kTls13Suites[] =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

// The single place a load failure becomes text.
Loaded Failed(const char* what, const std::string& path, const std::string& reason) {
  Loaded loaded;
  loaded.error = std::string(what) + " " + path + ": " + reason;
  return loaded;
}

// TLS 1.2 and later only: what every browser that asks for Local Network Access speaks.
// Renegotiation is refused either way: a client could make the server redo its most costly
// step at will, and nothing here needs it.
bool SetProfile(ssl::context& context) {
  context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                      ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                      ssl::context::single_dh_use);
  SSL_CTX* const handle = context.native_handle();
  SSL_CTX_set_options(handle, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  return SSL_CTX_set_min_proto_version(handle, TLS1_2_VERSION) == 1 &&
         SSL_CTX_set_cipher_list(handle, kTls12Ciphers) == 1 &&
         SSL_CTX_set_ciphersuites(handle, kTls13Suites) == 1;
}

}  // namespace

Loaded Load(const Files& files) {
  if (files.cert.empty() && files.key.empty()) return {};
  if (files.cert.empty() || files.key.empty()) {
    return {nullptr, "--tls-cert and --tls-key go together"};
  }
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  if (!SetProfile(*context)) return {nullptr, "TLS: this OpenSSL lacks the ciphers needed"};
  boost::system::error_code ec;
  context->use_certificate_chain_file(files.cert, ec);
  if (ec) return Failed("--tls-cert", files.cert, ec.message());
  // OpenSSL refuses here a key that does not belong to the certificate.
  context->use_private_key_file(files.key, ssl::context::pem, ec);
  if (ec) return Failed("--tls-key", files.key, ec.message());
  return {std::move(context), ""};
}

std::string Reload(ssl::context& live, const Files& files) {
  if (const std::optional<std::string> exposed = SecretFileExposed(files.key)) {
    return "--tls-key: " + files.key + " is " + *exposed;
  }
  Loaded fresh = Load(files);
  if (!fresh.error.empty()) return fresh.error;
  // Open connections hold a reference to the context they began with, which lives on
  // until the last of them ends.
  live = std::move(*fresh.context);
  return "";
}

}  // namespace qeld::tls
