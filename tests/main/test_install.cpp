// The install tree: the binary with its manual page, desktop entry, AppStream metainfo and the
// README that the help screen points at.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/tempdir.h"

namespace {

using pictra_test::read_file;
using pictra_test::TempDir;

TEST(Install, PutsBinaryManualDesktopEntryMetainfoAndReadme) {
  TempDir prefix;
  const std::string command = "cmake --install '" + std::string(PICTRA_BUILD_DIR) + "' --prefix '" +
                              prefix.path() + "' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);

  for (const char* file :
       {"bin/pictra", "share/man/man1/pictra.1", "share/applications/pictra.desktop",
        "share/doc/pictra/README.md", "share/metainfo/io.github.pictra.pictra.metainfo.xml"}) {
    EXPECT_TRUE(std::filesystem::is_regular_file(prefix.file(file))) << file;
  }
  const std::string desktop = read_file(prefix.file("share/applications/pictra.desktop"));
  EXPECT_NE(desktop.find("Exec=pictra %f"), std::string::npos);
  for (const char* type :
       {"image/jpeg;", "image/gif;", "image/bmp;", "image/tiff;", "image/png;"}) {
    EXPECT_NE(desktop.find(type), std::string::npos) << type;
  }
  const std::string manual = read_file(prefix.file("share/man/man1/pictra.1"));
  for (const char* section : {".SH SYNOPSIS", ".SH FILES", ".SH ENVIRONMENT", ".SH EXIT STATUS",
                              ".pictrarc", "BackSpace", "Escape"}) {
    EXPECT_NE(manual.find(section), std::string::npos) << section;
  }
}

}  // namespace
