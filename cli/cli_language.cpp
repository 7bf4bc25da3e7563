#include "cli/cli_language.h"

#include <algorithm>
#include <cctype>

#include "base/environment.h"

namespace brc::cli {
namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The table for one locale name (language[_territory][.codeset][@modifier], or a tag such as
// zh-Hant); nullopt when we carry none for its language. Russian is the system's own: "", and
// Ukrainian and Belarusian readers get it too, as the nearer language.
std::optional<std::string> tableFor(const std::string& name) {
    const std::string base = lower(name.substr(0, name.find_first_of(".@")));
    const size_t cut = base.find_first_of("_-");
    const std::string language = base.substr(0, cut);
    const std::string rest = cut == std::string::npos ? "" : base.substr(cut + 1);
    if (language == "ru" || language == "uk" || language == "be") return std::string();
    if (language == "ja") return std::string("JPN");
    if (language == "en") return std::string("ENU");
    if (language == "zh") {
        const bool traditional =
            rest == "tw" || rest == "hk" || rest == "mo" || rest.rfind("hant", 0) == 0;
        return std::string(traditional ? "CHT" : "CHS");
    }
    return std::nullopt;
}

bool isPlainC(const std::string& locale) {
    const std::string base = locale.substr(0, locale.find('.'));
    return base == "C" || base == "POSIX";
}

} // namespace

std::string messageLanguage(const LocaleVariables& v) {
    std::string locale;
    for (const auto* value : {&v.lcAll, &v.lcMessages, &v.lang}) {
        if (*value && !(*value)->empty()) {
            locale = **value;
            break;
        }
    }
    // English for the C locale and for every language we have no table for: a message in a
    // language the user may not read is worse than one in the lingua franca of the terminal.
    const std::string english = "ENU";
    if (locale.empty() || isPlainC(locale)) return english;
    if (v.language) {
        const std::string& list = *v.language;
        for (size_t start = 0; start <= list.size();) {
            const size_t end = std::min(list.find(':', start), list.size());
            if (end > start)
                if (auto table = tableFor(list.substr(start, end - start))) return *table;
            start = end + 1;
        }
    }
    return tableFor(locale).value_or(english);
}

const MessageSource& commandLineMessages() {
    static const MessageSource& chosen = []() -> const MessageSource& {
        const LocaleVariables v{environmentVariable("LANGUAGE"), environmentVariable("LC_ALL"),
                                environmentVariable("LC_MESSAGES"), environmentVariable("LANG")};
#if defined(_WIN32)
        // Windows sets none of these: there the command keeps the system's own texts unless a
        // user names a locale.
        if (!v.language && !v.lcAll && !v.lcMessages && !v.lang) return builtinMessages();
#endif
        const MessageSource* table = translatedMessages(messageLanguage(v));
        return table ? *table : builtinMessages();
    }();
    return chosen;
}

} // namespace brc::cli
