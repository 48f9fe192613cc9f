// MQTT settings of the weight service: the broker URL, the credentials file, the CA file and
// the station name, checked before anything connects; and the topic names, with port names
// escaped into one topic level.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qeld::mqtt {

// As given on the command line.
struct Options {
  std::string url;            // --mqtt mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
  std::string password_file;  // --mqtt-password-file: one line "USER:PASSWORD"
  std::string ca_file;        // --mqtt-ca: PEM file of the CAs that sign the broker's certificate
  std::string station;        // --station; empty: the host name
  bool insecure = false;      // --mqtt-insecure: a password over mqtt:// beyond loopback
};

// Checked and read: what the publisher connects with.
struct Settings {
  std::string host;
  int port = 1883;
  bool tls = false;
  std::optional<std::string> username;
  std::optional<std::string> password;
  std::string ca_file;  // empty with TLS: the system's CAs
  std::string station;
  std::string url;  // the URL as given, for log lines (it never holds a password)
};

// Checks the URL, reads the password file and fills in the station. Returns nullopt with a
// message in `error` for a malformed URL, credentials inside the URL, an unreadable,
// malformed or group- or world-readable password file, a password that mqtt:// would carry in
// clear text beyond loopback without `insecure`, a CA file without TLS, or a missing CA file.
std::optional<Settings> Resolve(const Options& options, std::string& error);

// One topic level for any name: bytes outside A-Z a-z 0-9 "-" "." "_" "~" become "%XX" (upper
// case hex), so "/", "+", "#", "%" and control bytes cannot add a level, act as a wildcard or
// be ambiguous. "/dev/ttyUSB0" -> "%2Fdev%2FttyUSB0", "COM3" -> "COM3".
std::string EscapeTopicLevel(std::string_view name);
// The inverse; nullopt for a malformed escape.
std::optional<std::string> UnescapeTopicLevel(std::string_view level);

// "qel/<station>/<port>/weight" and "qel/<station>/status", both levels escaped.
std::string WeightTopic(std::string_view station, std::string_view port);
std::string StatusTopic(std::string_view station);

}  // namespace qeld::mqtt
