// The built-in message table against its source, res/strings.rc, read here by a parser of its
// own so that a fault in the generator's escapes shows up as a difference.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "res/message_ids.h"
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

struct ScriptEntry {
    std::u16string text;
    std::string name;  // the trailing `// Name`
};

// id -> text and name of every entry of the script's STRINGTABLE.
std::map<uint32_t, ScriptEntry> readStringTable(const std::string& path) {
    std::ifstream file(path);
    EXPECT_TRUE(file) << path;
    std::map<uint32_t, ScriptEntry> table;
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
                ++p;
                break;
            }
            if (t[p] == '\\' && p + 1 < t.size()) {
                const char e = t[++p];
                text += e == 'n' ? '\n' : e == 't' ? '\t' : e;
                continue;
            }
            text += t[p];
        }
        const size_t comment = t.find("//", p);
        std::string name;
        if (comment != std::string::npos) {
            std::istringstream rest(t.substr(comment + 2));
            rest >> name;
        }
        EXPECT_EQ(table.count(id), 0u) << "id " << id << " twice";
        table[id] = {utf8ToUtf16(text), name};
    }
    return table;
}

// name -> id of every constant in the generated header.
std::map<std::string, uint32_t> readMessageIds(const std::string& path) {
    std::ifstream file(path);
    EXPECT_TRUE(file) << path;
    std::map<std::string, uint32_t> ids;
    const std::string lead = "inline constexpr uint32_t ";
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind(lead, 0) != 0) continue;
        std::istringstream rest(line.substr(lead.size()));
        std::string name, equals;
        uint32_t id = 0;
        rest >> name >> equals >> id;
        EXPECT_EQ(equals, "=") << line;
        EXPECT_EQ(ids.count(name), 0u) << name << " twice";
        ids[name] = id;
    }
    return ids;
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
        EXPECT_EQ(messages.text(id), it == script.end() ? std::u16string() : it->second.text)
            << "id " << id;
    }
}

// Every id has one name of its own, and the generated constants are exactly those names.
TEST(MessageTable, EveryIdHasOneDistinctName) {
    const auto script = readStringTable(BRC_STRINGS_RC);
    std::map<std::string, uint32_t> named;
    for (const auto& [id, entry] : script) {
        const std::string& name = entry.name;
        ASSERT_FALSE(name.empty()) << "id " << id << " has no name";
        EXPECT_TRUE(name[0] >= 'A' && name[0] <= 'Z') << name;
        for (char c : name)
            EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << name;
        const auto [at, fresh] = named.emplace(name, id);
        EXPECT_TRUE(fresh) << name << " names ids " << at->second << " and " << id;
    }
    EXPECT_EQ(readMessageIds(BRC_MESSAGE_IDS_H), named);
}

TEST(MessageTable, TextsRoundTripExactly) {
    const MessageSource& messages = builtinMessages();
    struct Case { uint32_t id; std::u16string text; };
    const Case cases[] = {
        {msg::FormatLineCaption, u"Формат"},
        {msg::EraseLineCaption, u"Сброс "},  // the trailing blank belongs to the caption
        {msg::Blank, u" "},
        {msg::OptionsButton, u"O\u043f\u0446\u0438\u0438"},  // Latin O, then Cyrillic
        {msg::FormatFinishedRemoveCard,
         u"Форматирование карты памяти завершино !\nПожалуйста, удалите карту памяти."},
        {msg::NoteOverwriteErase, u"\nПереписать и Сброс ПО ФОРМАТ"},
        {msg::NoteOverwriteEraseUnsupported,
         u"\nБолее писать ФОРМАТ\n(\"Flash Erase\" операция была отменена, потому что это "
         u"устройство не поддержали.)"},
        {msg::UnsupportedSystem,
         u"Пожалуйста, используйте это приложение на платформе Win32\n\"Microsoft Windows XP\" "
         u"or \"Microsoft Windows Vista\", \"Microsoft Windows 7\", \"Microsoft Windows 8\". "},
        {msg::LabelInvalid,
         u"Метка тома имеет один или несколько недопустимых символов или слишком длинный."},
    };
    for (const Case& c : cases) EXPECT_EQ(messages.text(c.id), c.text) << "id " << c.id;
}

TEST(MessageTable, MissingIdsAreEmpty) {
    const MessageSource& messages = builtinMessages();
    for (uint32_t id : {0u, 100u, 204u, 212u, 217u, 230u, 273u, 0xFFFFFFFFu})
        EXPECT_TRUE(messages.text(id).empty()) << "id " << id;
}

// Run the generator on a script; true when it accepted it.
bool generatorAccepts(const std::string& script) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("brc_gen_strings_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    const auto rc = dir / "in.rc", out = dir / "out.cpp", header = dir / "ids.h";
    std::ofstream(rc) << script;
    std::ostringstream cmd;
    cmd << "python3 '" << BRC_GEN_STRINGS << "' '" << rc.string() << "' '" << out.string()
        << "' '" << header.string() << "' 2>/dev/null";
    const int status = std::system(cmd.str().c_str());
    std::filesystem::remove_all(dir);
    return status == 0;
}

TEST(MessageTable, GeneratorRefusesBadIdsAndNames) {
    const auto table = [](const std::string& first, const std::string& second) {
        return "STRINGTABLE\nBEGIN\n    " + first + "\n    " + second + "\nEND\n";
    };
    ASSERT_TRUE(generatorAccepts(table("201 \"a\"  // First", "202 \"b\" // Second")));
    EXPECT_FALSE(generatorAccepts(table("201 \"a\"  // First", "201 \"b\" // Second")));
    EXPECT_FALSE(generatorAccepts(table("201 \"a\"  // First", "202 \"b\" // First")));
    EXPECT_FALSE(generatorAccepts(table("201 \"a\"  // First", "202 \"b\"")));
    EXPECT_FALSE(generatorAccepts(table("201 \"a\"  // First", "202 \"b\" // second")));
    EXPECT_FALSE(generatorAccepts(table("201 \"a\"  // First", "202 \"b\" // Two words")));
}

} // namespace
} // namespace brc
