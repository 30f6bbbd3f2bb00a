// The install tree: the binary with its manual page, desktop entry, AppStream metainfo, hicolor
// icons and the README that the help screen points at.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/tempdir.h"

namespace {

using pictra_test::command_output;
using pictra_test::read_file;
using pictra_test::TempDir;

TEST(Install, PutsBinaryManualDesktopEntryMetainfoAndReadme) {
  TempDir prefix;
  const std::string command = "cmake --install '" + std::string(PICTRA_BUILD_DIR) + "' --prefix '" +
                              prefix.path() + "' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);

  for (const char* file :
       {"bin/pictra", "share/man/man1/pictra.1", "share/applications/pictra.desktop",
        "share/doc/pictra/README.md", "share/metainfo/io.github.pictra.pictra.metainfo.xml",
        "share/icons/hicolor/16x16/apps/pictra.png", "share/icons/hicolor/32x32/apps/pictra.png",
        "share/icons/hicolor/48x48/apps/pictra.png", "share/icons/hicolor/64x64/apps/pictra.png"}) {
    EXPECT_TRUE(std::filesystem::is_regular_file(prefix.file(file))) << file;
  }
  // Each icon is the size its directory names.
  for (const char* size : {"16x16", "32x32", "48x48", "64x64"}) {
    const std::string icon = prefix.file("share/icons/hicolor/") + size + "/apps/pictra.png";
    EXPECT_EQ(command_output("identify -format '%wx%h' '" + icon + "'"), size);
  }
  const std::string desktop = read_file(prefix.file("share/applications/pictra.desktop"));
  for (const char* line : {"Exec=pictra %f\n", "Icon=pictra\n", "StartupWMClass=Pictra\n"})
    EXPECT_NE(desktop.find(line), std::string::npos) << line;
  EXPECT_NE(read_file(prefix.file("share/metainfo/io.github.pictra.pictra.metainfo.xml"))
                .find("<icon type=\"stock\">pictra</icon>"),
            std::string::npos);
  for (const char* type :
       {"image/jpeg;", "image/gif;", "image/bmp;", "image/tiff;", "image/png;", "image/webp;",
        "image/heic;", "image/heif;", "image/avif;", "image/jxl;"}) {
    EXPECT_NE(desktop.find(type), std::string::npos) << type;
  }
  const std::string manual = read_file(prefix.file("share/man/man1/pictra.1"));
  for (const char* section : {".SH SYNOPSIS", ".SH FILES", ".SH ENVIRONMENT", ".SH EXIT STATUS",
                              ".pictrarc", "BackSpace", "Escape"}) {
    EXPECT_NE(manual.find(section), std::string::npos) << section;
  }
}

}  // namespace
