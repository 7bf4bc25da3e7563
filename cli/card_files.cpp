#include "cli/card_files.h"

#include <cctype>

namespace brc::cli {
namespace {

// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9, in any case; the superscript digits count
// as digits.
bool isReservedDeviceName(std::string base) {
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
    if (base.rfind("COM", 0) != 0 && base.rfind("LPT", 0) != 0) return false;
    const std::string digit = base.substr(3);
    return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" ||
           digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

} // namespace

std::string windowsNameProblem(const std::string& path) {
    const size_t cut = path.find_last_of("\\/:");
    const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    if (!name.empty() && (name.back() == '.' || name.back() == ' '))
        return "'" + path +
               "' ends in a dot or a blank, which Windows drops from a file name: "
               "name the image without it";
    // The device is reserved whatever extension follows, and blanks before the extension too.
    std::string base = name.substr(0, name.find('.'));
    base.erase(base.find_last_not_of(' ') + 1);
    if (isReservedDeviceName(base))
        return "'" + path + "' is a reserved device name on Windows, not a file";
    return {};
}

CardFile::~CardFile() { close(); }

std::string CardFile::refusal(const std::string& path, const char* what) {
    return "'" + path + "' is " + what + "; card create only creates or replaces regular files";
}

std::string CardFile::alreadyExists(const std::string& path) {
    return "'" + path + "' already exists; use --force to replace it";
}

} // namespace brc::cli
