// brindlecard card create: a sparse virtual card image and its sidecar.
#include <cstdio>
#include <optional>
#include <string>

#include "app/format_report.h"
#include "base/code_page.h"
#include "base/on_card_fields.h"
#include "cli/arguments.h"
#include "cli/card_files.h"
#include "cli/commands.h"

namespace brc::cli {
namespace {

const char kCardUsage[] =
    "usage: brindlecard card create PATH (--sectors N | --size N[K|M|G|T]) [--protected SECTORS]\n"
    "                               [--write-protect] [--no-erase] [--force]\n"
    "\n"
    "Creates a virtual card: a sparse image file holding the user area (sector k at byte 512*k)\n"
    "and the sidecar PATH.card describing what an image cannot hold.\n"
    "\n"
    "  --sectors N          user area in 512-byte sectors (1 to 4294967295)\n"
    "  --size N[K|M|G|T]    user area in bytes, binary multiples (1G = 2^30); whole sectors only\n"
    "  --protected SECTORS  protected-area sectors the card reports (default 0)\n"
    "  --write-protect      the card's write-protect switch is on\n"
    "  --no-erase           the card does not support flash erase\n"
    "  --force              replace an existing image and sidecar (regular files only; a\n"
    "                       link, device, FIFO, socket or directory is never replaced)\n";

// What card create is asked to make.
struct CardRequest {
    std::string path;
    uint64_t sectors = 0;
    uint64_t protectedSectors = 0;
    bool writeProtect = false, noErase = false, force = false;
};

// The user area from --sectors or --size, exactly one of which is given; throws UsageError.
uint64_t userSectors(const std::optional<std::string>& sectorsText,
                     const std::optional<std::string>& sizeText) {
    if (sectorsText.has_value() == sizeText.has_value())
        throw UsageError{"give exactly one of --sectors and --size"};
    uint64_t sectors;
    if (sectorsText) {
        sectors = parseNumber(*sectorsText, "--sectors", UINT32_MAX);
    } else {
        const uint64_t bytes = parseSize(*sizeText);
        if (bytes % kSectorBytes != 0)
            throw UsageError{"the size " + *sizeText +
                             " is not a whole number of 512-byte sectors"};
        sectors = bytes / kSectorBytes;
        if (sectors > UINT32_MAX)
            throw UsageError{"the size " + *sizeText +
                             " is above the largest user area (4294967295 sectors)"};
    }
    if (sectors == 0) throw UsageError{"the user area must hold at least one sector"};
    return sectors;
}

// Writes the image and its sidecar; a failure leaves nothing of this run behind.
int createCard(const CardRequest& card) {
    const std::string image = card.path, sidecar = card.path + ".card";
    CardFile imageFile, sidecarFile;
    std::string error;
    auto fail = [&](const std::string& message) {
        imageFile.discard();
        sidecarFile.discard();
        say(message);
        return kExitFailed;
    };
    // Both are opened before either is changed: a refused sidecar leaves an existing image whole.
    if (!imageFile.open(image, card.force, error) || !sidecarFile.open(sidecar, card.force, error))
        return fail(error);
    if (!imageFile.resize(card.sectors * kSectorBytes))
        return fail("cannot size '" + image + "': " + imageFile.reason());
    const std::string text =
        "# Virtual card: what the image itself cannot hold.\n"
        "protected_sectors = " +
        std::to_string(card.protectedSectors) +
        "\n"
        "write_protect_switch = " +
        (card.writeProtect ? "1" : "0") +
        "\n"
        "erase = " +
        (card.noErase ? "0" : "1") + "\n";
    if (!sidecarFile.write(text) || !sidecarFile.close())
        return fail("cannot write '" + sidecar + "': " + sidecarFile.reason());
    if (!imageFile.close()) return fail("cannot write '" + image + "': " + imageFile.reason());
    std::printf("Created %s: %s (%s), protected area %s%s%s\n", shownText(card.path).c_str(),
                counted(card.sectors, "sector").c_str(),
                counted(card.sectors * kSectorBytes, "byte").c_str(),
                counted(card.protectedSectors, "sector").c_str(),
                card.writeProtect ? ", write-protect switch on" : "",
                card.noErase ? ", no erase" : "");
    return kExitOk;
}

} // namespace

int cardCommand(std::vector<std::string> argv) {
    if (argv.empty() || argv[0] == "--help" || argv[0] == "-h") {
        std::fputs(kCardUsage, argv.empty() ? stderr : stdout);
        return argv.empty() ? kExitUsage : kExitOk;
    }
    if (argv[0] != "create") throw UsageError{"unknown card command '" + argv[0] + "'"};
    Args args({argv.begin() + 1, argv.end()});
    if (args.wantsHelp()) {
        std::fputs(kCardUsage, stdout);
        return kExitOk;
    }
    auto sectorsText = args.value("--sectors");
    auto sizeText = args.value("--size");
    auto protectedText = args.value("--protected");
    CardRequest card;
    card.writeProtect = args.flag("--write-protect");
    card.noErase = args.flag("--no-erase");
    card.force = args.flag("--force");
    auto paths = args.positionals();
    if (paths.size() != 1) throw UsageError{"card create takes exactly one PATH"};
    card.path = paths[0];
    // Every other command refuses such a card: the drive map cannot hold its path.
    if (card.path.find(';') != std::string::npos)
        throw UsageError{"'" + card.path +
                         "' has a ';' in its path, which the drive map cannot hold; choose "
                         "another name"};
    card.sectors = userSectors(sectorsText, sizeText);
    card.protectedSectors =
        protectedText ? parseNumber(*protectedText, "--protected", UINT32_MAX) : 0;
    return createCard(card);
}

} // namespace brc::cli
