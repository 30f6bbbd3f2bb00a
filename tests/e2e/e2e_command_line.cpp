// A file whose name begins with "-" is still viewed, named after "--" or with a directory part.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/keysym.h>

#include <string>
#include <vector>

#include "support/driver.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;

TEST(CommandLineE2e, DashFileIsViewedAfterDoubleDashOrAsDotSlash) {
  struct Case {
    std::vector<std::string> args;
    std::string title;
  };
  const Case cases[] = {
      {{"--", "-x.png"}, "pictra-0.31 - -x.png (32x32)"},
      // The view steps through the file's directory, and names its images as they are named
      // there.
      {{"./-x.png"}, "pictra-0.31 - -x.png (32x32)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    TempDir home, dir;
    copy_test_data("pngsuite/basn2c08.png", dir, "-x.png");
    Pictra pictra({home.path(), dir.path(), c.args, {}, false});
    ASSERT_TRUE(pictra.wait_title(c.title)) << "title: " << pictra.title();
    pictra.key(XK_q);
    const auto status = pictra.wait_exit();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(exit_code(*status), 0);
    EXPECT_EQ(pictra.stdout_text(), "");
    EXPECT_EQ(pictra.stderr_text(), "");
  }
}

}  // namespace
