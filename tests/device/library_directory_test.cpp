// The driver libraries are looked up first in the binding's own directory, which may lie
// outside the ANSI code page; the scripted system tells which path was loaded.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

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

} // namespace
} // namespace brc
