// The built-in message table against its source, res/strings.rc, read here by a parser of its
// own so that a fault in the generator's escapes shows up as a difference.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "res/messages.h"

namespace brc {
namespace {

std::u16string utf8ToUtf16(const std::string& in) {
    std::u16string out;
    for (size_t i = 0; i < in.size();) {
        const auto c = static_cast<unsigned char>(in[i]);
        char32_t cp = 0;
        size_t len = 1;
        if (c < 0x80) cp = c;
        else if ((c & 0xE0) == 0xC0) cp = c & 0x1Fu, len = 2;
        else if ((c & 0xF0) == 0xE0) cp = c & 0x0Fu, len = 3;
        else ADD_FAILURE() << "unexpected UTF-8 lead byte at " << i;
        for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(in[i + k]) & 0x3Fu);
        out += static_cast<char16_t>(cp);
        i += len;
    }
    return out;
}

// id -> text of every entry of the script's STRINGTABLE.
std::map<uint32_t, std::u16string> readStringTable(const std::string& path) {
    std::ifstream file(path);
    EXPECT_TRUE(file) << path;
    std::map<uint32_t, std::u16string> table;
    std::string line;
    bool inTable = false, inBody = false;
    while (std::getline(file, line)) {
        const size_t first = line.find_first_not_of(" \t\r");
        const std::string t = first == std::string::npos ? "" : line.substr(first);
        if (t.rfind("STRINGTABLE", 0) == 0) { inTable = true; continue; }
        if (!inTable) continue;
        if (t.rfind("BEGIN", 0) == 0) { inBody = true; continue; }
        if (t.rfind("END", 0) == 0) break;
        if (!inBody || t.empty() || t.rfind("//", 0) == 0) continue;
        size_t p = 0;
        uint32_t id = 0;
        while (p < t.size() && t[p] >= '0' && t[p] <= '9') id = id * 10 + uint32_t(t[p++] - '0');
        while (p < t.size() && (t[p] == ' ' || t[p] == ',')) ++p;
        EXPECT_EQ(t[p], '"') << t;
        std::string text;
        for (++p; p < t.size(); ++p) {
            if (t[p] == '"') {
                if (p + 1 < t.size() && t[p + 1] == '"') { text += '"'; ++p; continue; }
                break;
            }
            if (t[p] == '\\' && p + 1 < t.size()) {
                const char e = t[++p];
                text += e == 'n' ? '\n' : e == 't' ? '\t' : e;
                continue;
            }
            text += t[p];
        }
        EXPECT_EQ(table.count(id), 0u) << "id " << id << " twice";
        table[id] = utf8ToUtf16(text);
    }
    return table;
}

TEST(MessageTable, EveryIdMatchesTheResourceScript) {
    const auto script = readStringTable(BRC_STRINGS_RC);
    ASSERT_GT(script.size(), 50u);
    const MessageSource& messages = builtinMessages();
    for (uint32_t id = 0; id < 400; ++id) {
        const auto it = script.find(id);
        if (it != script.end()) {
            EXPECT_GE(id, 101u);
            EXPECT_LE(id, 272u);
        }
        EXPECT_EQ(messages.text(id), it == script.end() ? std::u16string() : it->second)
            << "id " << id;
    }
}

TEST(MessageTable, TextsRoundTripExactly) {
    const MessageSource& messages = builtinMessages();
    struct Case { uint32_t id; std::u16string text; };
    const Case cases[] = {
        {247, u"Формат"},
        {244, u"Сброс "},  // the trailing blank belongs to the caption
        {227, u" "},
        {240, u"O\u043f\u0446\u0438\u0438"},  // Latin O, then Cyrillic
        {218, u"Форматирование карты памяти завершино !\nПожалуйста, удалите карту памяти."},
        {250, u"\nПереписать и Сброс ПО ФОРМАТ"},
        {254, u"\nБолее писать ФОРМАТ\n(\"Flash Erase\" операция была отменена, потому что это "
              u"устройство не поддержали.)"},
        {261, u"Пожалуйста, используйте это приложение на платформе Win32\n\"Microsoft Windows XP\" "
              u"or \"Microsoft Windows Vista\", \"Microsoft Windows 7\", \"Microsoft Windows 8\". "},
        {268, u"Метка тома имеет один или несколько недопустимых символов или слишком длинный."},
    };
    for (const Case& c : cases) EXPECT_EQ(messages.text(c.id), c.text) << "id " << c.id;
}

TEST(MessageTable, MissingIdsAreEmpty) {
    const MessageSource& messages = builtinMessages();
    for (uint32_t id : {0u, 100u, 212u, 217u, 230u, 272u, 273u, 0xFFFFFFFFu})
        EXPECT_TRUE(messages.text(id).empty()) << "id " << id;
}

// Run the generator on a script; true when it accepted it.
bool generatorAccepts(const std::string& script) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("brc_gen_strings_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    const auto rc = dir / "in.rc", out = dir / "out.cpp";
    std::ofstream(rc) << script;
    std::ostringstream cmd;
    cmd << "python3 '" << BRC_GEN_STRINGS << "' '" << rc.string() << "' '" << out.string()
        << "' 2>/dev/null";
    const int status = std::system(cmd.str().c_str());
    std::filesystem::remove_all(dir);
    return status == 0;
}

TEST(MessageTable, GeneratorRefusesADuplicateId) {
    ASSERT_TRUE(generatorAccepts("STRINGTABLE\nBEGIN\n    201 \"a\"\n    202 \"b\"\nEND\n"));
    EXPECT_FALSE(generatorAccepts("STRINGTABLE\nBEGIN\n    201 \"a\"\n    201 \"b\"\nEND\n"));
}

} // namespace
} // namespace brc
