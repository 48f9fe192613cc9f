// qelscaled's option table: every kind of row parses into Config, a refused value names its
// option, and the texts made from the table list every row.
#include "options.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "named_port.h"

namespace {

using namespace std::chrono_literals;

qeld::Command Parse(std::initializer_list<const char*> args) {
  std::vector<const char*> argv{"qelscaled"};
  argv.insert(argv.end(), args);
  return qeld::ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

// A refusal: status 2, the first line naming the reason, the usage after it when `usage`.
void ExpectRefused(const qeld::Command& command, const std::string& first_line, bool usage) {
  ASSERT_EQ(command.exit_status, 2);
  EXPECT_EQ(command.message.substr(0, command.message.find('\n')), first_line);
  EXPECT_EQ(command.message.find("usage: qelscaled") != std::string::npos, usage)
      << command.message;
}

TEST(Options, EveryKindLandsInItsField) {
  const qeld::Command command = Parse({"--port",
                                       "COM3",
                                       "--stream",
                                       "/dev/ttyUSB0",
                                       "--listen",
                                       "[::1]:0",
                                       "--stable-ms",
                                       "0",
                                       "--allow-host",
                                       "a.local",
                                       "--allow-host",
                                       "b.local",
                                       "--allow-origin",
                                       "http://pos:8080",
                                       "--max-connections",
                                       "100000",
                                       "--header-limit",
                                       "512",
                                       "--header-timeout-ms",
                                       "100",
                                       "--idle-timeout-ms",
                                       "3600000",
                                       "--ws-message-limit",
                                       "16",
                                       "--ws-queue",
                                       "1",
                                       "--ws-send-buffer",
                                       "1024",
                                       "--ws-idle-ms",
                                       "200",
                                       "--max-stable-waiters",
                                       "7"});
  ASSERT_FALSE(command.exit_status) << command.message;
  const qeld::Config& config = command.options.config;
  EXPECT_EQ(config.policy.ports,
            (std::map<std::string, qeld::PortMode>{{"COM3", qeld::PortMode::kOnDemand},
                                                   {"/dev/ttyUSB0", qeld::PortMode::kStream}}));
  EXPECT_EQ(config.listen_host, "::1");
  EXPECT_EQ(config.listen_port, 0);
  EXPECT_FALSE(config.both_loopbacks);  // an address given is the only one
  EXPECT_EQ(config.stable_for, 0ms);
  EXPECT_EQ(config.policy.allowed_hosts, (std::vector<std::string>{"a.local", "b.local"}));
  EXPECT_EQ(config.policy.allowed_origins, std::vector<std::string>{"http://pos:8080"});
  EXPECT_EQ(config.limits.max_connections, 100000u);
  EXPECT_EQ(config.limits.header_bytes, 512u);
  EXPECT_EQ(config.limits.header_timeout, 100ms);
  EXPECT_EQ(config.limits.idle_timeout, 3600000ms);
  EXPECT_EQ(config.limits.ws_message_bytes, 16u);
  EXPECT_EQ(config.limits.ws_queue, 1u);
  EXPECT_EQ(config.limits.ws_socket_buffer, 1024u);
  EXPECT_EQ(config.limits.ws_idle, 200ms);
  EXPECT_EQ(config.limits.max_stable_waiters, 7u);
  EXPECT_FALSE(config.policy.token);
}

TEST(Options, DefaultsStayWithoutTheirOptions) {
  const qeld::Command command = Parse({"--port", "COM1", "--listen", "localhost:9000"});
  ASSERT_FALSE(command.exit_status) << command.message;
  const qeld::Config& config = command.options.config;
  EXPECT_EQ(config.listen_host, "127.0.0.1");
  EXPECT_TRUE(config.both_loopbacks);  // localhost is [::1] too
  EXPECT_EQ(config.listen_port, 9000);
  EXPECT_EQ(config.stable_for, 500ms);
  EXPECT_EQ(config.limits.max_stable_waiters, 256u);
  EXPECT_EQ(config.limits.max_connections, 1500u);
  EXPECT_EQ(config.limits.ws_queue, 64u);
}

TEST(Options, ABadValueNamesItsOptionBeforeTheUsage) {
  ExpectRefused(Parse({"--port", "COM1", "--max-connections", "0"}),
                "qelscaled: --max-connections takes a number from 1 to 100000", true);
  ExpectRefused(Parse({"--port", "COM1", "--ws-send-buffer", "16777217"}),
                "qelscaled: --ws-send-buffer takes a number from 1024 to 16777216", true);
  for (const char* number : {"", "-1", "12x", "99999999999999999999999", "0x10"}) {
    ExpectRefused(Parse({"--port", "COM1", "--stable-ms", number}),
                  "qelscaled: --stable-ms takes a number from 0 to 600000", true);
  }
  for (const char* listen : {"8778", ":8778", "host:", "host:65536", "host:-1"}) {
    ExpectRefused(Parse({"--port", "COM1", "--listen", listen}),
                  "qelscaled: --listen takes HOST:PORT", true);
  }
  ExpectRefused(Parse({"--port", ""}), "qelscaled: --port takes NAME", true);
  ExpectRefused(Parse({"--port", "COM1", "--ws-queue"}), "qelscaled: --ws-queue needs N", true);
  ExpectRefused(Parse({"--port", "COM1", "--verbose"}), "qelscaled: unknown option --verbose",
                true);
  ExpectRefused(Parse({"COM1"}), "qelscaled: unknown option COM1", true);
}

TEST(Options, RefusalsOfTheWholeCommandLine) {
  ExpectRefused(Parse({}), "qelscaled: give at least one --port or --stream", true);
  ExpectRefused(Parse({"--port", "COM1", "--stream", "COM1"}), "qelscaled: port COM1 given twice",
                false);
  ExpectRefused(Parse({"--port", "COM1", "--listen", "0.0.0.0:0"}),
                "qelscaled: listening on 0.0.0.0, beyond loopback, needs --token-file", false);
  ExpectRefused(Parse({"--port", "COM1", "--token-file", "/nonexistent/token"}),
                "qelscaled: /nonexistent/token must hold a token of 16-256 characters A-Z a-z "
                "0-9 - . _ ~",
                false);
}

// The Linux build has the MQTT rows.
TEST(Options, MqttRowsLandAndNeedTheUrl) {
  const qeld::Command command =
      Parse({"--stream", "COM1", "--mqtt", "mqtts://broker", "--mqtt-password-file", "/p",
             "--mqtt-ca", "/ca.pem", "--station", "till 7"});
  ASSERT_FALSE(command.exit_status) << command.message;
  const qeld::mqtt::Options& mqtt = command.options.mqtt;
  EXPECT_EQ(mqtt.url, "mqtts://broker");
  EXPECT_EQ(mqtt.password_file, "/p");
  EXPECT_EQ(mqtt.ca_file, "/ca.pem");
  EXPECT_EQ(mqtt.station, "till 7");
  ExpectRefused(Parse({"--stream", "COM1", "--station", "x"}),
                "qelscaled: --mqtt-password-file, --mqtt-ca, --mqtt-insecure and --station need "
                "--mqtt",
                false);
  EXPECT_FALSE(command.options.mqtt.insecure);
  EXPECT_TRUE(
      Parse({"--stream", "COM1", "--mqtt", "mqtt://b", "--mqtt-insecure"}).options.mqtt.insecure);
  EXPECT_EQ(Parse({"--stream", "COM1", "--mqtt-insecure"}).exit_status, 2);
}

// A port name goes into every JSON answer as it is: one that is not UTF-8 stops the start,
// shown so that the message itself stays readable.
TEST(Options, PortNamesMustBeUtf8) {
  ExpectRefused(Parse({"--port", "COM\xFF"}), "qelscaled: port name COM\\xFF is not valid UTF-8",
                false);
  ExpectRefused(Parse({"--port", "COM1", "--stream", "/dev/tty\xC0\xAF"}),
                "qelscaled: port name /dev/tty\\xC0\\xAF is not valid UTF-8", false);
  const qeld::Command command = Parse({"--port", "весы-1"});
  ASSERT_FALSE(command.exit_status) << command.message;
  EXPECT_EQ(command.options.config.policy.ports.count("весы-1"), 1u);
}

// The token read by any other local user opens the scale to any page it is pasted in.
TEST(Options, ATokenFileOthersCanReadIsRefused) {
  char dir[] = "/tmp/qel-token-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/token";
  std::ofstream(path) << "s3cret-token-0123456789abcdef\n";
  for (const mode_t mode : {0644, 0640, 0604}) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
    ExpectRefused(Parse({"--port", "COM1", "--token-file", path.c_str()}),
                  "qelscaled: --token-file: " + path + " is readable by group or others (mode " +
                      octal + "): make it readable by its owner only (chmod 600)",
                  false);
  }
  // 0400: as systemd's LoadCredential hands it to the service.
  for (const mode_t mode : {0600, 0400}) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    const qeld::Command command = Parse({"--port", "COM1", "--token-file", path.c_str()});
    ASSERT_FALSE(command.exit_status) << command.message;
    EXPECT_EQ(command.options.config.policy.token, "s3cret-token-0123456789abcdef");
  }
  std::remove(path.c_str());
  rmdir(dir);
}

// One who can write the token file puts in a token of their own, taken at the next start.
TEST(Options, ATokenFileOthersCanWriteIsRefused) {
  char dir[] = "/tmp/qel-token-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/token";
  std::ofstream(path) << "s3cret-token-0123456789abcdef\n";
  for (const mode_t mode : {0620, 0602, 0622, 0420}) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
    ExpectRefused(Parse({"--port", "COM1", "--token-file", path.c_str()}),
                  "qelscaled: --token-file: " + path + " is writable by group or others (mode " +
                      octal + "): make it writable by its owner only (chmod 600)",
                  false);
  }
  // Open both ways: the reading is named first, and chmod 600 mends both.
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  ExpectRefused(Parse({"--port", "COM1", "--token-file", path.c_str()}),
                "qelscaled: --token-file: " + path +
                    " is readable by group or others (mode 0666): make it readable by its owner "
                    "only (chmod 600)",
                false);
  std::remove(path.c_str());
  rmdir(dir);
}

TEST(Options, HelpWhereverItStandsUnlessARefusalCameFirst) {
  for (const char* help : {"--help", "-h"}) {
    const qeld::Command command = Parse({"--port", "COM1", help, "--bogus"});
    EXPECT_EQ(command.exit_status, 0);
    EXPECT_EQ(command.message, qeld::UsageText());
  }
  EXPECT_EQ(Parse({"--ws-queue", "0", "--help"}).exit_status, 2);
}

TEST(Options, TheTextsListEveryRow) {
  const std::string usage = qeld::UsageText();
  const std::string conf = qeld::FormatOptionList("# ");
  const std::string man = qeld::FormatManOptions();
  for (const qeld::Option& row : qeld::OptionTable()) {
    const std::string name(row.name);
    const std::string spelling =
        " " + name + (row.argument.empty() ? "" : " ") + std::string(row.argument);
    EXPECT_NE(usage.find(spelling), std::string::npos) << name;
    EXPECT_NE(conf.find(spelling), std::string::npos) << name;
    std::string roff;
    for (char c : name) roff += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(man.find(roff), std::string::npos) << name;
  }
  // Defaults come from Config itself, so a changed default changes the help.
  EXPECT_NE(usage.find("localhost:8778)"), std::string::npos);
  EXPECT_NE(usage.find("(default 1500)"), std::string::npos);
  for (std::size_t start = 0, end; (end = usage.find('\n', start)) != std::string::npos;
       start = end + 1) {
    EXPECT_LE(end - start, 80u) << usage.substr(start, end - start);
  }
  for (std::size_t start = 0, end; (end = conf.find('\n', start)) != std::string::npos;
       start = end + 1) {
    EXPECT_EQ(conf.compare(start, 2, "# "), 0) << conf.substr(start, end - start);
  }
}

// The port options in --help come from the port name parser: each one the parser is known to
// take is listed with what it takes, and each one listed is one the parser takes.
TEST(Options, TheHelpListsThePortOptions) {
  const std::string usage = qeld::UsageText();
  const std::size_t section = usage.find("(?port=COM3). The options:\n");
  ASSERT_NE(section, std::string::npos) << usage;
  const std::size_t end = usage.find("\n\n", section);
  const std::string list = usage.substr(section, end - section);
  for (const char* name : {"protocol", "baud", "framing", "poll_ms", "stable_ms"}) {
    const std::size_t at = list.find(std::string("\n  ") + name + "= ");
    ASSERT_NE(at, std::string::npos) << name << " in\n" << list;
    const std::string line = list.substr(at + 1, list.find('\n', at + 1) - at - 1);
    EXPECT_GT(line.find_last_not_of(' '), std::string("  ").size() + std::string(name).size() + 1)
        << "no help beside " << name;
  }
  EXPECT_NE(list.find("mt-sics"), std::string::npos);
  EXPECT_NE(list.find("auto"), std::string::npos);
  for (std::size_t at = list.find("\n  "); at != std::string::npos;
       at = list.find("\n  ", at + 1)) {
    if (list[at + 3] == ' ') continue;  // a continued help line
    const std::string name = list.substr(at + 3, list.find('=', at) - at - 3);
    std::string error;
    qel::ParseNamedPort("P?" + name + "=!", error);
    EXPECT_EQ(error.find("unknown port option"), std::string::npos) << name << ": " << error;
  }
}

}  // namespace
