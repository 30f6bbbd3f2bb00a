// The options of the real binary, started without a display: help and version are printed,
// anything else that looks like an option is refused, and names that cannot be shown are
// reported, all before a connection is tried.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/driver.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;

constexpr char usage[] =
    "usage: pictra [-0iort] [-n NUM] [-S SECONDS] [--sort=KEY] [--reverse] [--help | --version] "
    "[--] [FILE | DIR]...";
constexpr char nothing[] = "pictra: no images to show\n";

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
       {"./-name", "-t ", "-i ", "-0 ", "-r ", "-n NUM", "-S SECONDS", "--sort=KEY", "natural",
        "--reverse", "Keys in the grid:", "q, Escape", "Keys in the view:", "slideshow delay",
        "~/.pictrarc"},
       ""},
      // The first option decides; operands around it do not matter.
      {{"image.jpg", "--help", "-x"}, 0, help_start, true, {}, ""},
      {{"--version"}, 0, "pictra 0.31\n", false, {}, ""},
      {{"-x"}, 2, "", false, {}, "pictra: unknown option -x" + refusal},
      {{"-"}, 2, "", false, {}, "pictra: unknown option -" + refusal},
      {{"--helpful"}, 2, "", false, {}, "pictra: unknown option --helpful" + refusal},
      {{"image.jpg", "-x"}, 2, "", false, {}, "pictra: unknown option -x" + refusal},
      {{"--sort=date"}, 2, "", false, {}, "pictra: unknown sort key date" + refusal},
      {{"-n", "0"}, 2, "", false, {}, "pictra: -n needs a count from 1 up, not 0" + refusal},
      {{"-n2x"}, 2, "", false, {}, "pictra: -n needs a count from 1 up, not 2x" + refusal},
      {{"-n"}, 2, "", false, {}, "pictra: -n needs a count from 1 up, not nothing" + refusal},
      // After "--" nothing is an option: the name is taken, and found missing.
      {{"--", "--version"},
       1,
       "",
       false,
       {},
       std::string("pictra: --version: No such file or directory\n") + nothing},
      // Each name that cannot be shown is reported in turn, before a display is needed.
      {{"-t", "a.jpg", "no/b.png"},
       1,
       "",
       false,
       {},
       std::string("pictra: a.jpg: No such file or directory\n"
                   "pictra: no/b.png: No such file or directory\n") +
           nothing},
      {{"-i"}, 1, "", false, {}, nothing},
      // A directory walked (not browsed) without images.
      {{"-r", "empty"}, 1, "", false, {}, nothing},
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
    TempDir home;
    home.mkdir("empty");
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
