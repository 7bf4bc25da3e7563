// Opening a virtual card whose image or sidecar is not the plain file it should be: a link to a
// device, a FIFO, a sidecar too large to be one, a sidecar holding a NUL byte. Each is refused
// with one line saying why, without blocking and without reading more than a sidecar may hold.
#include "drivers/virtual_card.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/support/fifo_watch.h"
#include "tests/support/scratch_dir.h"

namespace brc::sdhost {
namespace {

namespace fs = std::filesystem;
using brc::test::blockedOnFifo;

const Host kHost{"test", SDHOST_ERR_WRITE_PROTECT_R2, 0};

TEST(CardFiles, ImagesAndSidecarsThatAreNotPlainFilesAreRefused) {
    brc::test::ScratchDir dir("card-files");
    const std::string img = (dir.path / "c.img").string(), card = img + ".card";
    const std::string manyComments = std::string(kMaxSidecarBytes - 10, '#') + "\nerase = 0\n";
    struct Case {
        const char* name;
        std::function<void()> make;  // after the image is a 64-sector file and no sidecar
        uint32_t result;
        std::string error;  // the whole line, after the path
    };
    const Case cases[] = {
        // A link is not followed, whatever it leads to: its target is never read.
        {"sidecar links to /dev/zero", [&] { fs::create_symlink("/dev/zero", card); },
         SDHOST_ERR_CONFIG, ".card: cannot read: a symbolic link, not a regular file"},
        {"sidecar links to a good sidecar",
         [&] {
             std::ofstream(img + ".other") << "erase = 0\n";
             fs::create_symlink(img + ".other", card);
         },
         SDHOST_ERR_CONFIG, ".card: cannot read: a symbolic link, not a regular file"},
        {"sidecar is a FIFO", [&] { ASSERT_EQ(::mkfifo(card.c_str(), 0600), 0); },
         SDHOST_ERR_CONFIG, ".card: cannot read: not a regular file"},
        {"sidecar larger than a sidecar may be",
         [&] { std::ofstream(card) << manyComments << "# one line too many\n"; },
         SDHOST_ERR_CONFIG, ".card: larger than 4096 bytes, too large for a sidecar"},
        {"sidecar as large as a sidecar may be",
         [&] { std::ofstream(card) << std::string(kMaxSidecarBytes - 11, '#') << "\nerase = 0\n"; },
         SDHOST_OK, ""},
        {"sidecar holds a NUL byte",
         [&] { std::ofstream(card) << "erase = 1\nmid = 12" << '\0' << "34\n"; },
         SDHOST_ERR_CONFIG,
         ".card:2: value '12\\x0034' of 'mid' is not an even count of 2 to 16 hex digits"},
        {"image links to /dev/zero",
         [&] { fs::remove(img); fs::create_symlink("/dev/zero", img); }, SDHOST_ERR_CONFIG,
         ": not a regular file"},
        {"image is a FIFO", [&] { fs::remove(img); ASSERT_EQ(::mkfifo(img.c_str(), 0600), 0); },
         SDHOST_ERR_CONFIG, ": not a regular file"},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        fs::remove(img);
        fs::remove(card);
        std::ofstream(img).close();
        fs::resize_file(img, 64 * 512);
        t.make();
        std::unique_ptr<VirtualCard> opened;
        std::string error;
        uint32_t rc = 0;
        EXPECT_FALSE(blockedOnFifo({img, card}, [&] { rc = openVirtualCard(img, kHost, opened, error); }))
            << "the open waited on a FIFO";
        EXPECT_EQ(rc, t.result);
        EXPECT_EQ(error, t.error.empty() ? "" : img + t.error);
        EXPECT_EQ(opened != nullptr, t.result == SDHOST_OK);
    }
}

} // namespace
} // namespace brc::sdhost
