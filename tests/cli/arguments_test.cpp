// The command's options in the conventions of getopt_long: short options bundled or apart, a
// value attached or apart, operands anywhere, and `--` ending the options.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/arguments.h"

namespace brc::cli {
namespace {

struct Parsed {
    std::vector<std::string> argv;
    bool yes, quiet;
    std::string type, label;  // "-" when not given
    std::vector<std::string> operands;
};

TEST(Arguments, ShortOptionsStandForTheLongOnes) {
    const Parsed cases[] = {
        {{"-y", "card.img"}, true, false, "-", "-", {"card.img"}},
        {{"-yq", "-t", "erase", "card.img"}, true, true, "erase", "-", {"card.img"}},
        {{"card.img", "-qy", "-terase"}, true, true, "erase", "-", {"card.img"}},
        {{"-yLMY CARD", "card.img"}, true, false, "-", "MY CARD", {"card.img"}},
        // The word after an option that takes a value is its value, whatever it looks like.
        {{"-L", "-y", "card.img"}, false, false, "-", "-y", {"card.img"}},
        {{"--label", "--", "card.img"}, false, false, "-", "--", {"card.img"}},
        {{"--label=-q", "--type=quick", "a", "b"}, false, false, "quick", "-q", {"a", "b"}},
        // After `--` everything is an operand.
        {{"-y", "--", "-q", "--type"}, true, false, "-", "-", {"-q", "--type"}},
    };
    for (const Parsed& c : cases) {
        std::string shown;
        for (const auto& a : c.argv) shown += "[" + a + "]";
        SCOPED_TRACE(shown);
        Args args(c.argv);
        EXPECT_EQ(args.flag("--yes"), c.yes);
        EXPECT_EQ(args.flag("--quiet"), c.quiet);
        EXPECT_EQ(args.value("--type").value_or("-"), c.type);
        EXPECT_EQ(args.value("--label").value_or("-"), c.label);
        EXPECT_EQ(args.positionals(), c.operands);
    }
}

// Several cards' statuses: a failure outweighs a cancelled pass (3) and a usage error
// outweighs both, whatever their numbers and in either order.
TEST(Arguments, TheWorstExitStatusOfSeveralCards) {
    const struct {
        int a, b, worst;
    } rows[] = {
        {kExitOk, kExitOk, kExitOk},
        {kExitOk, kExitPassCancelled, kExitPassCancelled},
        {kExitPassCancelled, kExitFailed, kExitFailed},
        {kExitFailed, kExitUsage, kExitUsage},
        {kExitPassCancelled, kExitUsage, kExitUsage},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(worstExitStatus(r.a, r.b), r.worst) << r.a << " and " << r.b;
        EXPECT_EQ(worstExitStatus(r.b, r.a), r.worst) << r.b << " and " << r.a;
    }
}

TEST(Arguments, MistakesAreUsageErrors) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-x", "card.img"}, "unknown option -x"},
        {{"-yx"}, "unknown option -x"},
        {{"--fast", "card.img"}, "unknown option --fast"},
        {{"-yy"}, "--yes is given more than once"},
        {{"-y", "--yes"}, "--yes is given more than once"},
        {{"-Lone", "--label=two"}, "--label is given more than once"},
        {{"card.img", "-t"}, "--type needs a value"},
    };
    for (const auto& [argv, message] : cases) {
        SCOPED_TRACE(message);
        try {
            Args args(argv);
            args.flag("--yes");
            args.value("--label");
            args.value("--type");
            args.positionals();
            ADD_FAILURE() << "accepted";
        } catch (const UsageError& e) {
            EXPECT_EQ(e.message, message);
        }
    }
}

} // namespace
} // namespace brc::cli
