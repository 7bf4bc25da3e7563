// The pictures the build draws: every one the program looks up is listed for the resource
// compiler, each file is well formed (bitmap headers, the icon's directory of 16, 32 and 48
// pixel images, the animation's RIFF structure and index), and each has the size of the
// control that shows it.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "base/little_endian.h"
#include "res/dialog_templates.h"

namespace brc::res {
namespace {

struct Picture {
    std::string type;  // ICON, BITMAP, AVI
    std::filesystem::path file;
};

// id -> picture, from the generated pictures.rc the resource script includes.
std::map<int, Picture> listedPictures() {
    std::ifstream list(BRC_PICTURES_RC);
    EXPECT_TRUE(list) << BRC_PICTURES_RC;
    std::map<int, Picture> out;
    const std::regex line(R"re(^(\d+)\s+(ICON|BITMAP|AVI)\s+"([^"]+)"\s*$)re");
    std::string text;
    while (std::getline(list, text)) {
        if (text.empty() || text.rfind("//", 0) == 0) continue;
        std::smatch m;
        EXPECT_TRUE(std::regex_match(text, m, line)) << text;
        if (m.empty()) continue;
        const int id = std::stoi(m[1]);
        EXPECT_EQ(out.count(id), 0u) << id << " listed twice";
        out[id] = {m[2], std::filesystem::path(BRC_PICTURES_RC).parent_path() / m[3].str()};
    }
    return out;
}

std::vector<uint8_t> bytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file) << path;
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Pixels of a control at 96 dots per inch: 8-point MS Shell Dlg has base units of 6 x 13
// pixels, a dialog unit being a quarter of the width and an eighth of the height.
double pixelsWide(int units) { return units * 6.0 / 4.0; }
double pixelsHigh(int units) { return units * 13.0 / 8.0; }

// Every Bitmap and Icon control of every dialog, by the resource it shows.
std::map<int, std::vector<const ControlTemplate*>> pictureControls(ControlKind kind) {
    std::map<int, std::vector<const ControlTemplate*>> out;
    size_t count = 0;
    const DialogTemplate* const* all = allDialogs(count);
    for (size_t i = 0; i < count; ++i)
        for (size_t k = 0; k < all[i]->controlCount; ++k)
            if (all[i]->controls[k].kind == kind) out[all[i]->controls[k].imageId].push_back(&all[i]->controls[k]);
    return out;
}

TEST(Pictures, EveryPictureTheProgramLooksUpIsListed) {
    const auto pictures = listedPictures();
    struct Case {
        int id;
        const char* type;
    };
    const Case cases[] = {{128, "ICON"},   {144, "BITMAP"}, {147, "BITMAP"}, {148, "BITMAP"},
                          {149, "BITMAP"}, {150, "BITMAP"}, {151, "BITMAP"}, {152, "BITMAP"},
                          {153, "AVI"}};
    for (const Case& c : cases) {
        const auto it = pictures.find(c.id);
        ASSERT_NE(it, pictures.end()) << c.id;
        EXPECT_EQ(it->second.type, c.type) << c.id;
        EXPECT_TRUE(std::filesystem::is_regular_file(it->second.file)) << it->second.file;
    }
    EXPECT_EQ(pictures.size(), std::size(cases));
    // And every picture a template names is one of them, of the right type.
    for (const auto& [id, controls] : pictureControls(ControlKind::Bitmap)) {
        ASSERT_EQ(pictures.count(id), 1u) << "bitmap " << id;
        EXPECT_EQ(pictures.at(id).type, "BITMAP") << id;
    }
    for (const auto& [id, controls] : pictureControls(ControlKind::Icon)) {
        ASSERT_EQ(pictures.count(id), 1u) << "icon " << id;
        EXPECT_EQ(pictures.at(id).type, "ICON") << id;
    }
}

TEST(Pictures, BitmapsAreWellFormedAndFillTheirStatics) {
    const auto pictures = listedPictures();
    const auto statics = pictureControls(ControlKind::Bitmap);
    std::set<std::pair<int32_t, int32_t>> sizes;
    for (const auto& [id, picture] : pictures) {
        if (picture.type != "BITMAP") continue;
        const std::vector<uint8_t> b = bytes(picture.file);
        ASSERT_GE(b.size(), 54u) << id;
        const uint8_t* info = b.data() + 14;
        EXPECT_EQ(b[0], 'B');
        EXPECT_EQ(b[1], 'M');
        EXPECT_EQ(le32(b.data() + 2), b.size()) << id << ": file size field";
        const uint32_t headerSize = le32(info);
        const auto width = static_cast<int32_t>(le32(info + 4));
        const auto height = static_cast<int32_t>(le32(info + 8));
        const uint16_t bits = le16(info + 14);
        const uint32_t compression = le32(info + 16);
        const uint32_t paletteBytes = bits <= 8 ? 4u * (le32(info + 32) ? le32(info + 32) : 1u << bits) : 0u;
        EXPECT_EQ(headerSize, 40u) << id;
        EXPECT_EQ(le16(info + 12), 1) << id << ": planes";
        EXPECT_TRUE(bits == 8 || bits == 24) << id << ": " << bits << " bits";
        EXPECT_EQ(compression, 0u) << id;
        ASSERT_GT(width, 0) << id;
        ASSERT_GT(height, 0) << id << ": bottom-up rows";
        const uint32_t stride = ((static_cast<uint32_t>(width) * bits + 31) / 32) * 4;
        EXPECT_EQ(le32(b.data() + 10), 14 + headerSize + paletteBytes) << id << ": pixel offset";
        EXPECT_EQ(b.size(), 14 + headerSize + paletteBytes + stride * static_cast<uint32_t>(height)) << id;
        sizes.insert({width, height});
        // The static shows the bitmap at its own size: it should match the control's rect.
        if (statics.count(id))
            for (const ControlTemplate* c : statics.at(id)) {
                EXPECT_NEAR(width, pixelsWide(c->cx), 2.0) << "bitmap " << id << " in control " << c->id;
                EXPECT_NEAR(height, pixelsHigh(c->cy), 2.0) << "bitmap " << id << " in control " << c->id;
            }
    }
    EXPECT_EQ(sizes.size(), 1u) << "the card pictures replace each other in one place";
}

TEST(Pictures, IconHolds16And32And48PixelImages) {
    const std::vector<uint8_t> b = bytes(listedPictures().at(128).file);
    ASSERT_GE(b.size(), 6u);
    EXPECT_EQ(le16(b.data()), 0);
    EXPECT_EQ(le16(b.data() + 2), 1) << "type 1 is an icon";
    const uint16_t count = le16(b.data() + 4);
    ASSERT_GE(b.size(), 6u + 16u * count);
    std::set<int> sizes;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* entry = b.data() + 6 + 16 * i;
        const int size = entry[0] ? entry[0] : 256;
        EXPECT_EQ(entry[1], entry[0]) << "square";
        const uint32_t length = le32(entry + 8), offset = le32(entry + 12);
        ASSERT_LE(uint64_t{offset} + length, b.size()) << size;
        const uint8_t* image = b.data() + offset;
        EXPECT_EQ(le32(image), 40u) << size;
        EXPECT_EQ(static_cast<int32_t>(le32(image + 4)), size);
        EXPECT_EQ(static_cast<int32_t>(le32(image + 8)), 2 * size) << "colour and mask";
        const uint16_t bits = le16(image + 14);
        EXPECT_EQ(bits, le16(entry + 6)) << size;
        const uint32_t colour = static_cast<uint32_t>(size * size) * bits / 8;
        const uint32_t mask = static_cast<uint32_t>((size + 31) / 32 * 4 * size);
        EXPECT_EQ(length, 40 + colour + mask) << size;
        sizes.insert(size);
    }
    EXPECT_EQ(sizes, (std::set<int>{16, 32, 48}));
    // The about box's icon static is the size of the 32-pixel image.
    const auto icons = pictureControls(ControlKind::Icon);
    ASSERT_EQ(icons.count(128), 1u);
    for (const ControlTemplate* c : icons.at(128)) {
        EXPECT_NEAR(pixelsWide(c->cx), 32, 2.0);
        EXPECT_NEAR(pixelsHigh(c->cy), 32, 2.0);
    }
}

// A RIFF chunk: four-character code, size, the data after it.
struct Chunk {
    std::string id;
    uint32_t size = 0;
    size_t data = 0;  // offset of the data in the file
};

std::vector<Chunk> chunks(const std::vector<uint8_t>& b, size_t from, size_t to) {
    std::vector<Chunk> out;
    while (from + 8 <= to) {
        Chunk c{std::string(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from) + 4),
                le32(b.data() + from + 4), from + 8};
        EXPECT_LE(c.data + c.size, to) << c.id << " runs past its list";
        out.push_back(c);
        from = c.data + c.size + (c.size & 1);
    }
    return out;
}

std::string listType(const std::vector<uint8_t>& b, const Chunk& c) {
    return std::string(b.begin() + static_cast<long>(c.data), b.begin() + static_cast<long>(c.data) + 4);
}

// What the animation control plays: an 8-bit uncompressed or RLE8 video stream and nothing
// else, with an index whose entries point at the frames.
TEST(Pictures, AnimationIsAnIndexedEightBitVideo) {
    const std::vector<uint8_t> b = bytes(listedPictures().at(153).file);
    ASSERT_GE(b.size(), 12u);
    ASSERT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(le32(b.data() + 4), b.size() - 8);
    ASSERT_EQ(std::string(b.begin() + 8, b.begin() + 12), "AVI ");
    const auto top = chunks(b, 12, b.size());
    ASSERT_EQ(top.size(), 3u);
    ASSERT_EQ(top[0].id, "LIST");
    ASSERT_EQ(listType(b, top[0]), "hdrl");
    ASSERT_EQ(top[1].id, "LIST");
    ASSERT_EQ(listType(b, top[1]), "movi");
    ASSERT_EQ(top[2].id, "idx1");

    const auto hdrl = chunks(b, top[0].data + 4, top[0].data + top[0].size);
    ASSERT_EQ(hdrl.size(), 2u) << "avih and one stream";
    ASSERT_EQ(hdrl[0].id, "avih");
    ASSERT_EQ(hdrl[0].size, 56u);
    const uint8_t* avih = b.data() + hdrl[0].data;
    const uint32_t totalFrames = le32(avih + 16), streams = le32(avih + 24);
    const uint32_t width = le32(avih + 32), height = le32(avih + 36);
    EXPECT_EQ(streams, 1u) << "no sound";
    EXPECT_NE(le32(avih + 12) & 0x10, 0u) << "AVIF_HASINDEX";
    EXPECT_GT(le32(avih), 0u) << "microseconds per frame";

    ASSERT_EQ(listType(b, hdrl[1]), "strl");
    const auto strl = chunks(b, hdrl[1].data + 4, hdrl[1].data + hdrl[1].size);
    ASSERT_GE(strl.size(), 2u);
    ASSERT_EQ(strl[0].id, "strh");
    ASSERT_EQ(strl[1].id, "strf");
    const uint8_t* strh = b.data() + strl[0].data;
    EXPECT_EQ(std::string(strh, strh + 4), "vids");
    EXPECT_EQ(le32(strh + 32), totalFrames) << "stream length";
    const uint8_t* format = b.data() + strl[1].data;
    EXPECT_EQ(le32(format), 40u);
    EXPECT_EQ(le32(format + 4), width);
    EXPECT_EQ(le32(format + 8), height);
    EXPECT_EQ(le16(format + 14), 8) << "8 bits per pixel";
    const uint32_t compression = le32(format + 16);
    EXPECT_TRUE(compression == 0 || compression == 1) << "uncompressed or RLE8";
    const uint32_t colours = le32(format + 32);
    EXPECT_GT(colours, 0u);
    EXPECT_LE(colours, 256u);
    EXPECT_EQ(strl[1].size, 40 + 4 * colours) << "the palette follows the header";

    // Frames in movi, and an index entry for each, pointing at it (offsets from 'movi').
    const auto frames = chunks(b, top[1].data + 4, top[1].data + top[1].size);
    EXPECT_GE(frames.size(), 8u);
    EXPECT_LE(frames.size(), 16u);
    EXPECT_EQ(frames.size(), totalFrames);
    const uint32_t frameBytes = ((width + 3) & ~3u) * height;
    for (const Chunk& f : frames) {
        EXPECT_TRUE(f.id == "00db" || f.id == "00dc") << f.id;
        if (compression == 0) {
            EXPECT_EQ(f.size, frameBytes);
        }
    }
    ASSERT_EQ(top[2].size, 16 * frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const uint8_t* entry = b.data() + top[2].data + 16 * i;
        EXPECT_EQ(std::string(entry, entry + 4), frames[i].id) << i;
        EXPECT_EQ(top[1].data + le32(entry + 8) + 8, frames[i].data) << "index entry " << i;
        EXPECT_EQ(le32(entry + 12), frames[i].size) << i;
    }

    // The frames fit the animation control of the main dialog.
    const ControlTemplate* control = findDialog(102)->control(1032);
    ASSERT_NE(control, nullptr);
    EXPECT_LE(width, pixelsWide(control->cx));
    EXPECT_LE(height, pixelsHigh(control->cy));
}

} // namespace
} // namespace brc::res
