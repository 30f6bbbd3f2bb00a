// The options of the real binary, started without a display: help and version are printed and
// anything else that looks like an option is refused before a connection is tried.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/driver.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;

constexpr char usage[] = "usage: pictra [--help | --version] [-S SECONDS] [[--] FILE [SELECTOR]]";

TEST(CommandLine, OptionsAnswerWithoutADisplay) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;                   // standard output: all of it, or its start
    bool out_is_start;                 // whether out is only the start
    std::vector<std::string> out_has;  // what standard output holds further
    std::string err;
  };
  const std::string help_start = std::string(usage) + "\n";
  const std::string refusal = std::string("; ") + usage + "\n";
  const Case cases[] = {
      {{"--help"},
       0,
       help_start,
       true,
       {"./-name", "Keys in the grid:", "q, Escape", "Keys in the view:", "slideshow delay",
        "~/.pictrarc"},
       ""},
      // The first option decides; operands around it do not matter.
      {{"image.jpg", "--help", "-x"}, 0, help_start, true, {}, ""},
      {{"--version"}, 0, "pictra 0.31\n", false, {}, ""},
      {{"-x"}, 2, "", false, {}, "pictra: unknown option -x" + refusal},
      {{"-"}, 2, "", false, {}, "pictra: unknown option -" + refusal},
      {{"--helpful"}, 2, "", false, {}, "pictra: unknown option --helpful" + refusal},
      {{"image.jpg", "-x"}, 2, "", false, {}, "pictra: unknown option -x" + refusal},
      // A delay outside 0.1 s to a day, or none at all, is refused before the display.
      {{"-S", "0.09"},
       2,
       "",
       false,
       {},
       "pictra: -S wants seconds from 0.1 to 86400, not 0.09" + refusal},
      {{"-S", "86400.5"},
       2,
       "",
       false,
       {},
       "pictra: -S wants seconds from 0.1 to 86400, not 86400.5" + refusal},
      {{"-S", "2s"},
       2,
       "",
       false,
       {},
       "pictra: -S wants seconds from 0.1 to 86400, not 2s" + refusal},
      {{"-S"},
       2,
       "",
       false,
       {},
       "pictra: -S wants seconds from 0.1 to 86400, not nothing" + refusal},
      {{"-S", "0.1", "--", "--version"}, 255, "Cannot connect to X-Server.\n", true, {}, ""},
      // After "--" nothing is an option: the file is taken, and the missing display refused.
      {{"--", "--version"}, 255, "Cannot connect to X-Server.\n", true, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
    TempDir home;
    Pictra pictra({home.path(), home.path(), c.args, {}, true});
    const auto status = pictra.wait_exit();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(exit_code(*status), c.status);
    const std::string out = pictra.stdout_text();
    EXPECT_EQ(c.out_is_start ? out.substr(0, c.out.size()) : out, c.out);
    for (const std::string& part : c.out_has)
      EXPECT_NE(out.find(part), std::string::npos) << part << " in:\n" << out;
    EXPECT_EQ(pictra.stderr_text(), c.err);
  }
}

}  // namespace
