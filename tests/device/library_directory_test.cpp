// The driver libraries are looked up first in the binding's own directory, which may lie
// outside the ANSI code page; the scripted system tells which path was loaded. That directory
// is the program's own in a build tree and PREFIX/lib/brindlecard once installed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/native_text.h"
#include "device/driver_binding.h"
#include "tests/support/fake_os.h"
#include "tests/support/cyrillic.h"
#include "tests/support/fake_card.h"
#include "tests/support/scratch_dir.h"

namespace brc {
namespace {

namespace fs = std::filesystem;

TEST(LibraryDirectory, ALibraryInTheDirectoryIsLoadedByItsFullPath) {
    const test::ScratchDir dir("library-directory");
    struct Case {
        const char* name;
        fs::path folder;
    };
    for (const Case& c : {Case{"ascii", dir.path / "drivers"},
                          Case{"cyrillic", dir.path / pathFromUtf8(test::kCyrillicFolder)}}) {
        SCOPED_TRACE(c.name);
        fs::create_directories(c.folder);
        const fs::path file = c.folder / driverFileName(2, false);
        std::ofstream(file) << "stands for the library";
        FakeOs os;
        test::FakeCard card(4096);
        card.addTo(os, utf8FromPath(file), 2);
        DriverBinding driver{os};
        driver.directory = utf8FromPath(c.folder);
        EXPECT_EQ(bindDriver(driver, 2), BindResult::Bound) << driver.lastError;
        EXPECT_EQ(driver.driverRoute, 2u);
    }
}

// Where a program's libraries are found, for the layouts a build tree and an installation give
// and for the near misses between them.
TEST(LibraryDirectory, BesideTheProgramElseInstalledUnderItsPrefix) {
    const test::ScratchDir dir("driver-directory");
    const std::string quill = driverFileName(1, false), retry = driverFileName(2, true);
    struct Case {
        const char* name;
        std::vector<std::string> files;    // under the prefix; a trailing '/' makes a folder
        std::string program;               // the program's folder under the prefix
        std::string expected;              // under the prefix
    };
    const std::string cyrillic = test::kCyrillicFolder;
    const Case cases[] = {
        {"build tree", {"bin/" + quill, "bin/" + retry}, "bin", "bin"},
        {"installed", {"lib/brindlecard/" + quill, "lib/brindlecard/" + retry}, "bin", "lib/brindlecard"},
        {"installed, one library is enough", {"lib/brindlecard/" + retry}, "bin", "lib/brindlecard"},
        {"both: the build tree's first", {"bin/" + quill, "lib/brindlecard/" + quill}, "bin", "bin"},
        {"a folder of a library's name is none", {"bin/" + quill + "/", "lib/brindlecard/" + quill},
         "bin", "lib/brindlecard"},
        {"other files beside do not count", {"bin/libother.so", "lib/brindlecard/" + quill}, "bin",
         "lib/brindlecard"},
        {"lib without brindlecard is not looked in", {"lib/" + quill}, "bin", "bin"},
        {"none anywhere: beside, as before", {}, "bin", "bin"},
        {"a trailing separator", {"lib/brindlecard/" + quill}, "bin/", "lib/brindlecard"},
        {"outside the ANSI code page", {cyrillic + "/lib/brindlecard/" + quill}, cyrillic + "/bin",
         cyrillic + "/lib/brindlecard"},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path prefix = dir.path / std::to_string(++number);  // a name Windows takes too
        fs::create_directories(prefix / pathFromUtf8(c.program));
        for (const std::string& file : c.files) {
            const fs::path path = prefix / pathFromUtf8(file);
            fs::create_directories(file.back() == '/' ? path : path.parent_path());
            if (file.back() != '/') std::ofstream(path) << "stands for the library";
        }
        const std::string program = utf8FromPath(prefix) + "/" + c.program;
        EXPECT_EQ(pathFromUtf8(driverDirectory(program)).lexically_normal(),
                  (prefix / pathFromUtf8(c.expected)).lexically_normal());
    }
    EXPECT_EQ(driverDirectory(""), "");
}

// An installed program's binding loads the route's library from PREFIX/lib/brindlecard by its
// full path, not by a bare name the loader would look for elsewhere.
TEST(LibraryDirectory, AnInstalledProgramBindsItsOwnLibraries) {
    const test::ScratchDir dir("installed-binding");
    const fs::path libraries = dir.path / "lib" / "brindlecard";
    fs::create_directories(dir.path / "bin");
    fs::create_directories(libraries);
    const fs::path file = libraries / driverFileName(2, false);
    std::ofstream(file) << "stands for the library";
    FakeOs os;
    test::FakeCard card(4096);
    card.addTo(os, utf8FromPath(file), 2);
    DriverBinding driver{os};
    driver.directory = driverDirectory(utf8FromPath(dir.path / "bin"));
    EXPECT_EQ(bindDriver(driver, 2), BindResult::Bound) << driver.lastError;
    EXPECT_EQ(driver.driverRoute, 2u);
}

} // namespace
} // namespace brc
