// The terminal's width on a pseudo-terminal whose size the test sets.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/terminal/terminal.h"

namespace odu::testing {
namespace {

TEST(PosixTerminal, ColumnsFollowTheTerminalsSizeAndCOLUMNSOnlyWhenItHasNone) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  std::FILE* terminal = fdopen(slave, "w");
  ASSERT_NE(terminal, nullptr);
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(setenv("COLUMNS", "91", 1), 0);

  winsize size{};
  size.ws_row = 24;
  size.ws_col = 57;
  ASSERT_EQ(ioctl(master, TIOCSWINSZ, &size), 0);
  EXPECT_EQ(platform::TerminalColumns(terminal), 57);
  size.ws_col = 132;  // the window was resized
  ASSERT_EQ(ioctl(master, TIOCSWINSZ, &size), 0);
  EXPECT_EQ(platform::TerminalColumns(terminal), 132);

  size.ws_col = 0;
  ASSERT_EQ(ioctl(master, TIOCSWINSZ, &size), 0);
  EXPECT_EQ(platform::TerminalColumns(terminal), 91);
  for (const char* junk : {"", "wide", "80x", "-80", "0", "99999999999"}) {
    ASSERT_EQ(setenv("COLUMNS", junk, 1), 0);
    EXPECT_EQ(platform::TerminalColumns(terminal), 0) << "COLUMNS=" << junk;
  }
  ASSERT_EQ(setenv("COLUMNS", "91", 1), 0);
  EXPECT_EQ(platform::TerminalColumns(file), 0) << "no terminal";

  unsetenv("COLUMNS");
  std::fclose(file);
  std::fclose(terminal);
  close(master);
}

}  // namespace
}  // namespace odu::testing
