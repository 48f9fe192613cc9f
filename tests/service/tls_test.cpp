// Loading the listener's certificate and key, with pairs the OpenSSL command line makes.
#include "tls.h"

#include <gtest/gtest.h>
#include <stdlib.h>  // mkdtemp

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class TlsLoadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "qel-tls-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    for (const char* name : {"a", "b"}) {
      const std::string command =
          "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout " +
          Path(std::string(name) + ".key") + " -out " + Path(std::string(name) + ".crt") +
          " >/dev/null 2>&1";
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }
  static std::string Path(const std::string& name) { return (dir_ / name).string(); }

  static fs::path dir_;
};

fs::path TlsLoadTest::dir_;

TEST_F(TlsLoadTest, NeitherFileMeansPlainHttp) {
  const auto loaded = qeld::tls::Load({});
  EXPECT_EQ(loaded.context, nullptr);
  EXPECT_EQ(loaded.error, "");
}

TEST_F(TlsLoadTest, AMatchingPairLoads) {
  const auto loaded = qeld::tls::Load({Path("a.crt"), Path("a.key")});
  EXPECT_NE(loaded.context, nullptr);
  EXPECT_EQ(loaded.error, "");
}

TEST_F(TlsLoadTest, EveryFaultIsRefusedWithTheFileNamed) {
  struct Case {
    qeld::tls::Files files;
    std::string error_starts;
  };
  std::ofstream(Path("garbage.pem")) << "not a certificate\n";
  const Case cases[] = {
      {{Path("a.crt"), ""}, "--tls-cert and --tls-key go together"},
      {{"", Path("a.key")}, "--tls-cert and --tls-key go together"},
      {{Path("absent.crt"), Path("a.key")}, "--tls-cert " + Path("absent.crt") + ": "},
      {{Path("garbage.pem"), Path("a.key")}, "--tls-cert " + Path("garbage.pem") + ": "},
      {{Path("a.crt"), Path("absent.key")}, "--tls-key " + Path("absent.key") + ": "},
      // Another certificate's key: a server that could never finish a handshake.
      {{Path("a.crt"), Path("b.key")}, "--tls-key " + Path("b.key") + ": "},
      // The certificate given as the key.
      {{Path("a.crt"), Path("a.crt")}, "--tls-key " + Path("a.crt") + ": "},
  };
  for (const Case& c : cases) {
    const auto loaded = qeld::tls::Load(c.files);
    EXPECT_EQ(loaded.context, nullptr) << c.error_starts;
    EXPECT_EQ(loaded.error.rfind(c.error_starts, 0), 0u) << loaded.error;
    if (c.error_starts.back() == ' ') {  // a file's fault: OpenSSL's reason follows
      EXPECT_GT(loaded.error.size(), c.error_starts.size()) << loaded.error;
    }
  }
}

}  // namespace
