// brindlecard card create makes or replaces regular files only: whatever else is at the image's
// or the sidecar's path (a link, a device node, a FIFO, a socket, a directory) is refused with one
// sentence and left as it was, and nothing the command did not create is removed.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

#include "tests/support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;  // 124: timed out, the command blocked
    std::string err;
};

Outcome cardCreate(const std::string& args, const fs::path& dir) {
    const fs::path err = dir / "stderr.txt";
    const std::string command = "timeout 20 " + std::string(BRINDLECARD_EXE) + " card create " +
                                args + " </dev/null >/dev/null 2>" + err.string();
    const int st = std::system(command.c_str());
    Outcome o;
    o.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::ifstream in(err);
    o.err.assign(std::istreambuf_iterator<char>(in), {});
    return o;
}

std::string contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What is at a path, the path itself (a link is not followed), for the checks afterwards.
std::string kind(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return "nothing";
    if (S_ISLNK(st.st_mode)) return "link to " + fs::read_symlink(p).string();
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return (S_ISCHR(st.st_mode) ? "char " : "block ") + std::to_string(major(st.st_rdev)) +
               "," + std::to_string(minor(st.st_rdev));
    if (S_ISFIFO(st.st_mode)) return "fifo";
    if (S_ISSOCK(st.st_mode)) return "socket";
    if (S_ISDIR(st.st_mode)) return "directory";
    return "file of " + std::to_string(st.st_size) + " bytes";
}

void makeSocket(const fs::path& p) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(p.string().size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, p.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
}

TEST(CardCreateCli, OnlyRegularFilesAreCreatedOrReplaced) {
    brc::test::ScratchDir dir("card-create");
    const fs::path img = dir.path / "c.img", card = dir.path / "c.img.card";
    const fs::path victim = dir.path / "victim.txt", absent = dir.path / "absent.txt";
    const std::string victimText = "precious data, not a card\n";
    // A device node of our own to refuse: a copy of /dev/null when we may make one, which the
    // command could even delete harmlessly; else /dev/null itself, which it may only inspect.
    const bool root = ::geteuid() == 0;
    const fs::path charNode = root ? dir.path / "null-node" : fs::path("/dev/null");
    struct Case {
        const char* name;
        std::function<void()> make;  // in a scratch folder holding only the victim file
        fs::path image;              // what to name as the image
        const char* args;
        int status;
        const char* says;  // in the one line on stderr; nullptr: nothing on stderr
    };
    const Case cases[] = {
        {"image links to a file, --force", [&] { fs::create_symlink(victim, img); }, img,
         "--size 1M --force", 1, "is a symbolic link"},
        {"image links to a missing file", [&] { fs::create_symlink(absent, img); }, img,
         "--size 1M", 1, "is a symbolic link"},
        {"sidecar links to a file, --force", [&] { fs::create_symlink(victim, card); }, img,
         "--size 1M --force", 1, "c.img.card' is a symbolic link"},
        {"image is a FIFO, --force", [&] { ASSERT_EQ(::mkfifo(img.c_str(), 0600), 0); }, img,
         "--size 1M --force", 1, "is a FIFO"},
        {"sidecar is a FIFO, --force", [&] { ASSERT_EQ(::mkfifo(card.c_str(), 0600), 0); }, img,
         "--size 1M --force", 1, "c.img.card' is a FIFO"},
        {"image is a character device, --force",
         [&] {
             if (root) {
                 ASSERT_EQ(::mknod(charNode.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
             }
         },
         charNode, "--size 1M --force", 1, "is a character device"},
        {"image is a directory, --force", [&] { fs::create_directory(img); }, img,
         "--size 1M --force", 1, "is a directory"},
        {"image is a socket, --force", [&] { makeSocket(img); }, img, "--size 1M --force", 1,
         "is a socket"},
        {"image exists, no --force", [&] { std::ofstream(img) << victimText; }, img, "--size 1M",
         1, "already exists"},
        {"image exists, --force", [&] { std::ofstream(img) << victimText; }, img,
         "--size 1M --force", 0, nullptr},
        {"nothing there", [] {}, img, "--size 1M", 0, nullptr},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        for (const auto& entry : fs::directory_iterator(dir.path)) fs::remove_all(entry.path());
        std::ofstream(victim) << victimText;
        t.make();
        const std::string before = kind(t.image);
        const std::string beforeCard = kind(t.image.string() + ".card");
        const Outcome o = cardCreate(t.image.string() + " " + t.args, dir.path);
        EXPECT_EQ(o.status, t.status) << o.err;
        if (t.says) {
            EXPECT_NE(o.err.find(t.says), std::string::npos) << o.err;
            EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
        }
        EXPECT_TRUE(contents(victim) == victimText) << "the victim file was changed";
        EXPECT_EQ(kind(absent), "nothing") << "a link's missing target was created";
        if (t.status != 0) {
            // Refused: both paths hold what they held, a device node included.
            EXPECT_EQ(kind(t.image), before);
            EXPECT_EQ(kind(t.image.string() + ".card"), beforeCard);
        } else {
            EXPECT_EQ(kind(t.image), "file of 1048576 bytes");
            EXPECT_TRUE(contents(t.image) == std::string(1 << 20, '\0'));
            EXPECT_NE(contents(card).find("protected_sectors = 0"), std::string::npos);
        }
    }
}

} // namespace
