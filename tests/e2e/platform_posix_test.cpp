// The number format and the message handler of the Linux platform.
#include <fcntl.h>
#include <locale.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "gtest/gtest.h"
#include "platform_services.h"
#include "posix_platform.h"
#include "services.h"

namespace qel::posix {
namespace {

bool Installed(const char* name) {
  const locale_t loc = newlocale(LC_NUMERIC_MASK, name, static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return false;
  freelocale(loc);
  return true;
}

std::string Separator() { return PlatformServices().locale.UserNumberFormat().decimal_separator; }

TEST(UserNumberFormat, FirstNonEmptyOfLcAllLcNumericLangDecides) {
  if (!Installed("de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  const std::string before = setlocale(LC_NUMERIC, nullptr);

  setenv("LC_ALL", "", 1);
  setenv("LC_NUMERIC", "de_DE.UTF-8", 1);
  setenv("LANG", "C", 1);
  EXPECT_EQ(Separator(), ",");
  setenv("LC_ALL", "C", 1);
  EXPECT_EQ(Separator(), ".");
  unsetenv("LC_ALL");
  unsetenv("LC_NUMERIC");
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(Separator(), ",");
  // A locale that is not installed reads as the C locale.
  setenv("LANG", "xx_NOWHERE.UTF-8", 1);
  EXPECT_EQ(Separator(), ".");
  EXPECT_TRUE(PlatformServices().locale.UserNumberFormat().leading_zero);

  EXPECT_EQ(before, setlocale(LC_NUMERIC, nullptr)) << "the process locale is never changed";
}

// Captures what the default handler writes to stderr.
std::string StderrOf(void (*action)()) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return "pipe failed";
  fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  dup2(pipe_fds[1], STDERR_FILENO);
  action();
  fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(pipe_fds[1]);
  std::string text;
  char buffer[256];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipe_fds[0]);
  return text;
}

TEST(MessageHandler, DefaultWritesOneLineAndNullRestoresIt) {
  static int calls = 0;
  SetMessageHandler(
      [](const char*, const char*, int, void* context) { ++*static_cast<int*>(context); }, &calls);
  EXPECT_EQ(
      StderrOf([] { PlatformServices().messages.Show("text", "caption", MessageIcon::kCritical); }),
      "");
  EXPECT_EQ(calls, 1);

  SetMessageHandler(nullptr, &calls);
  EXPECT_EQ(StderrOf([] {
              PlatformServices().messages.Show("Не могу открыть порт COM9: 2", "Qel_weigher",
                                               MessageIcon::kNone);
            }),
            "Qel_weigher: Не могу открыть порт COM9: 2\n");
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace qel::posix
