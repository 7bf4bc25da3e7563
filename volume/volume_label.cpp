#include "volume/volume_label.h"

#include <algorithm>
#include <string_view>

#include "base/little_endian.h"
#include "base/on_card_fields.h"

namespace brc {
namespace {

bool isControl(char16_t c) { return c < 0x20; }

} // namespace

void storeFatNameLead(uint8_t* name) {
    if (name[0] == 0xE5) name[0] = 0x05;
}

void loadFatNameLead(uint8_t* name) {
    if (name[0] == 0x05) name[0] = 0xE5;
}

std::u16string decodeFatLabel(const uint8_t* name, const CodePage& oem, FatLabelEnd end) {
    uint8_t bytes[kFatLabelBytes];
    std::copy(name, name + kFatLabelBytes, bytes);
    loadFatNameLead(bytes);
    std::string text(reinterpret_cast<const char*>(bytes), kFatLabelBytes);
    if (end == FatLabelEnd::NulOrBlanks) {
        const size_t zero = text.find('\0');
        if (zero != std::string::npos) text.resize(zero);
    }
    // Names are padded with blanks: a label of blanks only is no label.
    text.erase(text.find_last_not_of(' ') + 1);
    return oem.decode(text);
}

bool encodeFatLabel(const std::u16string& label, const CodePage& oem, std::string& out) {
    std::u16string upper = label;
    for (char16_t& c : upper) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        if (isControl(c) ||
            std::u16string_view(u"\"*+,./:;<=>?[\\]|").find(c) != std::u16string_view::npos)
            return false;
    }
    out = oem.encode(upper, std::string::npos);
    // A character the code page lacks comes back as its default character.
    if (out.size() > kFatLabelBytes || oem.decode(out) != upper) return false;
    out.resize(kFatLabelBytes, ' ');
    return true;
}

bool isValidExFatLabel(const std::u16string& label) {
    if (label.size() > kExFatLabelUnits) return false;
    for (char16_t c : label)
        if (isControl(c) ||
            std::u16string_view(u"\"*/:<>?\\|").find(c) != std::u16string_view::npos)
            return false;
    return true;
}

std::u16string decodeExFatLabel(const uint8_t* entry) {
    const size_t units =
        std::min<size_t>(entry[exfat_dirent::kCharacterCount], size_t{kExFatLabelUnits});
    std::u16string text;
    for (size_t i = 0; i < units; ++i)
        text.push_back(le16(entry + exfat_dirent::kVolumeLabel + 2 * i));
    return text;
}

} // namespace brc
