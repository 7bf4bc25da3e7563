// The command line speaks the user's language: the choice from the locale variables, and the
// built command printing the confirmation, the progress and the report in that language.
#include <gtest/gtest.h>

#include <string>

#include "base/code_page.h"
#include "cli/cli_language.h"
#include "res/message_ids.h"
#include "tests/cli/cli_run.h"

namespace brc::cli {
namespace {

struct Choice {
    const char *language, *all, *messages, *lang;
    const char* table;
};

std::optional<std::string> opt(const char* value) {
    return value ? std::optional<std::string>(value) : std::nullopt;
}

TEST(CommandLineLanguage, FollowsTheLocaleVariablesInOrder) {
    const Choice cases[] = {
        // The locale alone.
        {nullptr, nullptr, nullptr, "ja_JP.UTF-8", "JPN"},
        {nullptr, nullptr, nullptr, "zh_CN.UTF-8", "CHS"},
        {nullptr, nullptr, nullptr, "zh_SG", "CHS"},
        {nullptr, nullptr, nullptr, "zh_TW.Big5", "CHT"},
        {nullptr, nullptr, nullptr, "zh_HK.UTF-8", "CHT"},
        {nullptr, nullptr, nullptr, "en_GB.UTF-8", "ENU"},
        {nullptr, nullptr, nullptr, "ru_RU.UTF-8", ""},
        {nullptr, nullptr, nullptr, "uk_UA.UTF-8", ""},
        {nullptr, nullptr, nullptr, "be_BY.UTF-8", ""},
        // English where we have no table, and under the C locale.
        {nullptr, nullptr, nullptr, "de_DE.UTF-8", "ENU"},
        {nullptr, nullptr, nullptr, "fr_FR", "ENU"},
        {nullptr, nullptr, nullptr, "C", "ENU"},
        {nullptr, nullptr, nullptr, "C.UTF-8", "ENU"},
        {nullptr, nullptr, nullptr, "POSIX", "ENU"},
        {nullptr, nullptr, nullptr, nullptr, "ENU"},
        // LC_ALL before LC_MESSAGES before LANG; an empty one does not count.
        {nullptr, "ja_JP.UTF-8", "en_US.UTF-8", "zh_CN.UTF-8", "JPN"},
        {nullptr, "", "en_US.UTF-8", "zh_CN.UTF-8", "ENU"},
        {nullptr, nullptr, "", "zh_TW.UTF-8", "CHT"},
        // LANGUAGE first, its first entry we have a table for; not under the C locale.
        {"zh_TW:ja", nullptr, nullptr, "en_US.UTF-8", "CHT"},
        {"de:fr:ja_JP", nullptr, nullptr, "en_US.UTF-8", "JPN"},
        {"de:fr", nullptr, nullptr, "ja_JP.UTF-8", "JPN"},
        {"ru:ja", nullptr, nullptr, "en_US.UTF-8", ""},
        {"zh-Hant", nullptr, nullptr, "de_DE.UTF-8", "CHT"},
        {"", nullptr, nullptr, "zh_CN.UTF-8", "CHS"},
        {"de:uk", nullptr, nullptr, "ja_JP.UTF-8", ""},
        {"ja", nullptr, nullptr, "C", "ENU"},
        {"ja", "C.UTF-8", nullptr, "en_US.UTF-8", "ENU"},
    };
    for (const Choice& c : cases) {
        const LocaleVariables v{opt(c.language), opt(c.all), opt(c.messages), opt(c.lang)};
        EXPECT_EQ(messageLanguage(v), c.table)
            << "LANGUAGE=" << (c.language ? c.language : "-") << " LC_ALL=" << (c.all ? c.all : "-")
            << " LC_MESSAGES=" << (c.messages ? c.messages : "-") << " LANG=" << (c.lang ? c.lang : "-");
    }
}

TEST(CommandLineLanguage, EveryTableHasEveryMessage) {
    for (const char* tag : {"JPN", "CHS", "CHT", "ENU"}) {
        const MessageSource* table = translatedMessages(tag);
        ASSERT_NE(table, nullptr) << tag;
        for (uint32_t id = 101; id <= 272; ++id)
            EXPECT_EQ(table->text(id).empty(), builtinMessages().text(id).empty()) << tag << " " << id;
    }
    EXPECT_EQ(translatedMessages("RUS"), nullptr);
}

// The built command, formatting a small card under each locale.
struct Spoken {
    const char* environment;
    const char* table;  // the texts it must print; empty for the system's own
};

std::string said(const char* table, uint32_t id) {
    const MessageSource* source = *table ? translatedMessages(table) : &builtinMessages();
    return utf16ToUtf8(source->text(id));
}

TEST(CommandLineLanguage, TheCommandPrintsTheChosenTexts) {
    const Spoken cases[] = {
        {"LANG=ja_JP.UTF-8", "JPN"},
        {"LANG=zh_CN.UTF-8", "CHS"},
        {"LC_ALL=zh_TW.UTF-8 LANG=ja_JP.UTF-8", "CHT"},
        {"LANG=en_US.UTF-8", "ENU"},
        {"LANGUAGE=ja LANG=en_US.UTF-8", "JPN"},
        {"LANG=ru_RU.UTF-8", ""},
        {"LANG=C", "ENU"},
        {"LANG=C.UTF-8", "ENU"},
        {"LANG=de_DE.UTF-8", "ENU"},
    };
    ScratchDir dir("brc-language-cli");
    const std::string image = (dir.path / "card.img").string();
    ASSERT_EQ(runCli("card create " + image + " --size 64M").status, 0);
    std::string fileSystem;
    for (const Spoken& c : cases) {
        const std::string environment = std::string("LC_MESSAGES= ") + c.environment;
        const CliRun run = runCli("format " + image + " --type overwrite --yes", true, environment);
        EXPECT_EQ(run.status, 0) << c.environment << "\n" << run.out;
        const auto prints = [&](const char* table, uint32_t id) {
            return run.out.find(said(table, id)) != std::string::npos;
        };
        EXPECT_TRUE(prints(c.table, msg::OverwriteLineCaption)) << c.environment << "\n" << run.out;
        EXPECT_TRUE(prints(c.table, msg::FormatLineCaption)) << c.environment << "\n" << run.out;
        // The report opens with one of the two "finished" texts, depending on the card's path.
        EXPECT_TRUE(prints(c.table, msg::FormatFinished) || prints(c.table, msg::FormatFinishedRemoveCard))
            << c.environment << "\n" << run.out;
        if (*c.table) {
            EXPECT_FALSE(prints("", msg::FormatFinished) || prints("", msg::FormatFinishedRemoveCard))
                << c.environment;
        }

        // JSON keeps its keys and values; only the message is in the user's language.
        const CliRun json = runCli("format " + image + " --yes --json", false, environment);
        const auto fields = parseFlatJson(json.out);
        ASSERT_EQ(fields.count("fileSystem"), 1u) << c.environment << json.out;
        EXPECT_EQ(fields.at("outcome"), "formatted") << c.environment;
        if (fileSystem.empty()) fileSystem = fields.at("fileSystem");
        EXPECT_EQ(fields.at("fileSystem"), fileSystem) << c.environment;
        EXPECT_TRUE(fields.at("message").rfind(said(c.table, msg::FormatFinished), 0) == 0 ||
                    fields.at("message").rfind(said(c.table, msg::FormatFinishedRemoveCard), 0) == 0)
            << c.environment << ": " << fields.at("message");
    }
}

} // namespace
} // namespace brc::cli
