// The command line as the program reads it. (The program started by a user, with and without a
// folder, is the business of the journeys on Xvfb.)
// Faults this group exists to catch: arguments not joined by single spaces, quotes or empty arguments
// dropped, the program's own name taken as part of the folder.
#include <gtest/gtest.h>

#include "startup/CommandLine.h"

namespace brisko::startup {
namespace {

TEST(CommandLine, ArgumentsAreJoinedBySingleSpaces) {
    const struct {
        std::vector<const char*> argv;
        const char* line;
    } cases[] = {
        {{"brisko"}, ""},
        {{"brisko", "/home/u/My", "Downloads"}, "/home/u/My Downloads"},
        {{"brisko", "\"/home/u/My Downloads\""}, "\"/home/u/My Downloads\""},
        {{"brisko", "", "x"}, " x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CommandLineFrom(static_cast<int>(c.argv.size()), c.argv.data()), c.line);
    }
}

} // namespace
} // namespace brisko::startup
