// tools/gen_dialogs.py refuses a script it would otherwise turn into tables that differ from
// what windres builds, and reads what it accepts the way windres does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace {

struct Generated {
    bool accepted = false;
    std::string tables;
};

// `header`, when given, is written beside the script as ids.h.
Generated generate(const std::string& script, const std::string& header = "") {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("brc_gen_dialogs_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    const auto rc = dir / "in.rc", out = dir / "out.cpp";
    std::ofstream(rc) << script;
    if (!header.empty()) std::ofstream(dir / "ids.h") << header;
    std::ostringstream cmd;
    cmd << "python3 '" << BRC_GEN_DIALOGS << "' '" << rc.string() << "' '" << out.string()
        << "' 2>/dev/null";
    Generated run;
    run.accepted = std::system(cmd.str().c_str()) == 0;
    if (run.accepted) {
        std::ifstream file(out);
        std::stringstream all;
        all << file.rdbuf();
        run.tables = all.str();
    }
    std::filesystem::remove_all(dir);
    return run;
}

std::string dialogWith(const std::string& header, const std::string& body) {
    return "10 DIALOGEX 0, 0, 100, 50\n" + header + "BEGIN\n" + body + "END\n";
}

TEST(DialogGenerator, RefusesWhatItCannotReadFaithfully) {
    struct Case {
        const char* what;
        std::string script;
    };
    const Case cases[] = {
        {"an unknown constant", dialogWith("", "LTEXT \"a\", 1, 0, 0, 10, 8, SS_LEFTT\n")},
        {"an unknown control statement", dialogWith("", "SCROLLBAR 1, 0, 0, 10, 8\n")},
        {"ICON, whose size windres drops", dialogWith("", "ICON 128, 1, 0, 0, 21, 20\n")},
        {"a control id twice", dialogWith("", "LTEXT \"a\", 7, 0, 0, 10, 8\nLTEXT \"b\", 7, 0, 10, 10, 8\n")},
        {"a picture on a text", dialogWith("", "CONTROL 144, 1, \"Static\", SS_LEFT, 0, 0, 10, 8\n")},
        {"a dialog twice", dialogWith("", "") + dialogWith("", "")},
        {"a MENU in the header", dialogWith("MENU 5\n", "")},
        {"a missing coordinate", dialogWith("", "PUSHBUTTON \"a\", 1, 0, 0, 10\n")},
        {"a #define with an expression", "#define ID (1+2)\n" + dialogWith("", "")},
        {"no END", "10 DIALOGEX 0, 0, 100, 50\nBEGIN\nLTEXT \"a\", 1, 0, 0, 10, 8\n"},
    };
    for (const Case& c : cases) EXPECT_FALSE(generate(c.script).accepted) << c.what;
}

// The ids header the script includes: its names are read, anything but `#define NAME number`
// in it is refused rather than skipped, as a name read wrong would give a control a wrong id.
TEST(DialogGenerator, ReadsTheNamesOfTheIdsHeaderItIncludes) {
    const std::string script =
        "#include \"ids.h\"\n"
        "IDD_X DIALOGEX 0, 0, 100, 50\nBEGIN\n"
        "CONTROL IDB_X, IDC_X, \"Static\", SS_BITMAP, 0, 0, 10, 8\nEND\n";
    const std::string dialogAndControl = "#define IDD_X 12\n#define IDC_X 1001\n";
    struct Case {
        const char* what;
        std::string header;
        const char* expected; // in the tables; null: refused
    };
    const Case cases[] = {
        {"comments, #pragma once and a hex value",
         "// ids\n#pragma once\n" + dialogAndControl + "#define IDB_X 0x90 // a bitmap\n",
         "{1001, ControlKind::Bitmap, \"STATIC\", u\"\", 144,"},
        {"the dialog's id", dialogAndControl + "#define IDB_X 144\n", "kDialog12 = {12,"},
        {"a name missing", dialogAndControl, nullptr},
        {"a declaration", dialogAndControl + "#define IDB_X 144\nint x;\n", nullptr},
        {"an expression", dialogAndControl + "#define IDB_X (IDD_X + 1)\n", nullptr},
        {"no header", "", nullptr},
    };
    for (const Case& c : cases) {
        const Generated run = generate(script, c.header);
        ASSERT_EQ(run.accepted, c.expected != nullptr) << c.what;
        if (c.expected) {
            EXPECT_NE(run.tables.find(c.expected), std::string::npos) << c.what << "\n"
                                                                      << run.tables;
        }
    }
}

// Styles as windres combines them (tools/check_resources.py compares the real templates).
TEST(DialogGenerator, CombinesStylesAsWindresDoes) {
    struct Case {
        const char* what;
        std::string script;
        const char* expected;  // in the generated tables
    };
    const Case cases[] = {
        {"LTEXT defaults: SS_LEFT | WS_GROUP, child, visible",
         dialogWith("", "LTEXT \"a\", 1, 0, 0, 10, 8\n"), "0x50020000u"},
        {"an explicit style drops the text's WS_GROUP",
         dialogWith("", "LTEXT \"a\", 1, 0, 0, 10, 8, SS_SUNKEN\n"), "0x50001000u"},
        {"NOT clears a default bit",
         dialogWith("", "PUSHBUTTON \"a\", 1, 0, 0, 10, 8, NOT WS_TABSTOP\n"), "0x50000000u"},
        {"an explicit style drops the combo box's WS_TABSTOP and CBS_SIMPLE",
         dialogWith("", "COMBOBOX 1, 0, 0, 10, 8, CBS_DROPDOWNLIST\n"), "0x50000003u"},
        {"EDITTEXT keeps its border and tab stop under an explicit style",
         dialogWith("", "EDITTEXT 1, 0, 0, 10, 8, ES_AUTOHSCROLL\n"), "0x50810080u"},
        {"CONTROL starts from child and visible",
         dialogWith("", "CONTROL 144, 1, \"Static\", SS_BITMAP | NOT WS_VISIBLE, 0, 0, 10, 8\n"),
         "0x4000000Eu"},
        {"a dialog without STYLE is a popup with border and system menu, CAPTION adds the caption",
         dialogWith("CAPTION \"x\"\n", ""), "0x80C80000u"},
        {"STYLE replaces the default; FONT adds DS_SETFONT, in any order",
         dialogWith("FONT 8, \"MS Shell Dlg\"\nSTYLE WS_POPUP\n", ""), "0x80000040u"},
    };
    for (const Case& c : cases) {
        const Generated run = generate(c.script);
        ASSERT_TRUE(run.accepted) << c.what;
        EXPECT_NE(run.tables.find(c.expected), std::string::npos) << c.what << "\n" << run.tables;
    }
}

} // namespace
