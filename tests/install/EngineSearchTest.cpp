// Where the program looks for its engine libraries: beside itself (the build tree), then in its private
// folder (the installed tree), then the ordinary search.
#include <gtest/gtest.h>

#include "platform/DynamicLibrary.h"

namespace brisko::platform {
namespace {

TEST(EngineSearch, CandidatesInOrder) {
    const std::string kPrivate = "../lib/brisko/";
    const struct {
        const char* what;
        std::string name;
        std::string programFolder;
        std::vector<std::string> expected;
    } cases[] = {
        {"installed program",
         "libunzip32.so",
         "/usr/bin/",
         {"/usr/bin/libunzip32.so", "/usr/bin/" + kPrivate + "libunzip32.so", "libunzip32.so"}},
        {"folder without its slash",
         "libunrar.so",
         "/opt/b/bin",
         {"/opt/b/bin/libunrar.so", "/opt/b/bin/" + kPrivate + "libunrar.so", "libunrar.so"}},
        {"a path is used as it is", "/tmp/x/libunace.so", "/usr/bin/", {"/tmp/x/libunace.so"}},
        {"a relative path is used as it is", "sub/libunace.so", "/usr/bin/", {"sub/libunace.so"}},
        {"no program folder: nothing relative to the current folder", "libunace.so", "", {"libunace.so"}},
        {"relative program folder is not trusted", "libunace.so", "bin/", {"libunace.so"}},
    };
    ASSERT_EQ(PrivateLibraryFolder(), kPrivate) << "the install layout and the search disagree";
    for (const auto& c : cases) {
        EXPECT_EQ(LibraryCandidates(c.name, c.programFolder), c.expected) << c.what;
    }
}

TEST(EngineSearch, ProgramFolderIsAbsoluteWithTrailingSlash) {
    const std::string folder = ProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.front(), '/');
    EXPECT_EQ(folder.back(), '/');
}

} // namespace
} // namespace brisko::platform
