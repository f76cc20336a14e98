#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "enginelibs/ZipFixtures.h"
#include "support/TempDir.h"

namespace brisko::test {
namespace {

using Kind = ZipItem::Kind;
using Names = std::vector<std::string>;

// Every case extracts into root/out next to root/outside/sentinel; whatever the archive holds, the
// tree outside root/out must stay exactly as it was.
class UnzipHostileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldUmask = umask(022);
        WriteFile(m_outside + "/sentinel", "sentinel");
    }
    void TearDown() override { umask(m_oldUmask); }

    void freshOut() {
        std::filesystem::remove_all(m_out);
        mkdir(m_out.c_str(), 0755);
    }

    int extract(const std::vector<ZipItem>& items) {
        WriteZip(m_zip, items);
        EngineScript script;
        return RunEngine(m_zip, m_out, Duplicates::Always, script);
    }

    void expectOutsideUntouched() {
        Names outsideOut;
        for (const std::string& name : ListTree(m_root.path())) {
            if (name.rfind("out/", 0) != 0) {
                outsideOut.push_back(name);
            }
        }
        EXPECT_EQ(outsideOut, (Names{"out", "outside", "outside/sentinel"}));
        EXPECT_EQ(ReadFile(m_outside + "/sentinel"), "sentinel");
    }

    mode_t m_oldUmask = 0;
    TempDir m_root, m_work;
    const std::string m_out = m_root / "out";
    const std::string m_outside = m_root / "outside";
    const std::string m_zip = m_work / "hostile.zip";
};

TEST_F(UnzipHostileTest, RefusesEntriesThatWouldLeaveTheDestination) {
    const struct {
        const char* label;
        std::vector<ZipItem> items;
        int code;
        Names inside;
    } cases[] = {
        {"../x", {{"../x", "evil"}, {"ok", "ok"}}, 1, {"ok"}},
        {"./../x", {{"./../x", "evil"}}, 1, {}},
        {"a/../../x", {{"a/../../x", "evil"}, {"ok", "ok"}}, 1, {"ok"}},
        {"absolute", {{m_outside + "/x", "evil"}}, 1, {}},
        {"//x", {{"//x", "evil"}}, 1, {}},
        {"C:\\x", {{"C:\\x", "evil"}}, 1, {}},
        {"C:../x", {{"C:../x", "evil"}}, 1, {}},
        {"..\\x", {{"..\\outside\\x", "evil"}}, 1, {}},
        {"sibling prefix", {{"../out_evil/x", "evil"}}, 1, {}},
        {"link out, then through it", {{"lnk", m_outside, Kind::Link}, {"lnk/x", "x"}}, 1, {"lnk", "lnk/x"}},
        {"link up, then through it",
         {{"lnk", "../outside", Kind::Link}, {"lnk/x", "x"}},
         1,
         {"lnk", "lnk/x"}},
        {"link up with '\\'", {{"lnk", "..\\outside", Kind::Link}, {"lnk/x", "x"}}, 1, {"lnk", "lnk/x"}},
        {"link in, then through it",
         {{"sub/", "", Kind::Folder, 0755}, {"lnk", "sub", Kind::Link}, {"lnk/x", "evil"}},
         1,
         {"lnk", "sub"}},
        {"link chain",
         {{"d/l1", "..", Kind::Link}, {"d/l1/l2", "..", Kind::Link}, {"d/l1/l2/x", "evil"}},
         1,
         {"d", "d/l1"}},
        {"link to itself, then up", {{"l1", ".", Kind::Link}, {"l1/l2", "..", Kind::Link}}, 1, {"l1"}},
        {"winding link", // d/sub leads to out, so d/sub/.. is root, not d
         {{"d/sub", "..", Kind::Link}, {"d/lnk", "sub/../outside", Kind::Link}},
         1,
         {"d", "d/sub"}},
        {"overlong name", {{std::string(256, 'n'), "x"}, {"ok", "ok"}}, 1, {"ok"}},
        {"folder, then file of its name", {{"d/", "", Kind::Folder, 0755}, {"d", "x"}}, 50, {"d"}},
        {"file, then folder below it", {{"a", "file a"}, {"a/b", "x"}}, 50, {"a"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        freshOut();
        EXPECT_EQ(extract(c.items), c.code);
        EXPECT_EQ(ListTree(m_out), c.inside);
        expectOutsideUntouched();
    }
    EXPECT_EQ(ReadFile(m_out + "/a"), "file a");
}

TEST_F(UnzipHostileTest, LinksLeftByAnEarlierArchiveOrByTheUserAreNoWayOut) {
    const struct {
        const char* label;
        std::vector<ZipItem> first; // empty: the test plants `planted` instead
        std::string planted;        // "name -> target"
        std::vector<ZipItem> second;
        int firstCode, secondCode;
    } cases[] = {
        {"absolute link refused, then a folder of its name",
         {{"lnk", m_outside, Kind::Link}},
         "",
         {{"lnk/x", "x"}},
         1,
         0},
        {"link inside, then through it",
         {{"sub/", "", Kind::Folder, 0755}, {"lnk", "sub", Kind::Link}},
         "",
         {{"lnk/x", "evil"}},
         0,
         1},
        {"link another tool left", {}, "lnk -> " + m_outside, {{"lnk/x", "evil"}}, 0, 1},
        {"link to a file outside is replaced", {}, "f -> " + m_outside + "/sentinel", {{"f", "new"}}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        freshOut();
        if (c.first.empty()) {
            const auto arrow = c.planted.find(" -> ");
            ASSERT_EQ(symlink(c.planted.substr(arrow + 4).c_str(),
                              (m_out + "/" + c.planted.substr(0, arrow)).c_str()),
                      0);
        } else {
            EXPECT_EQ(extract(c.first), c.firstCode);
        }
        EXPECT_EQ(extract(c.second), c.secondCode);
        expectOutsideUntouched();
        EXPECT_FALSE(Exists(m_out + "/sub/x"));
    }
    EXPECT_EQ(ReadFile(m_out + "/f"), "new");
}

TEST_F(UnzipHostileTest, MakesNoSpecialFilesAndOnlySaneModes) {
    freshOut();
    WriteRawZip(m_zip, {
                           {"chr", "", 3, 0020644u << 16},
                           {"blk", "", 3, 0060644u << 16},
                           {"sock", "", 3, 0140644u << 16},
                           {"fifo", "", 3, 0010644u << 16},
                           {"setuid", "s", 3, 0104755u << 16},
                           {"mode0000", "z", 3, 0100000u << 16},
                           {"mode0777", "w", 3, 0100777u << 16},
                           {"dos.txt", "d", 0, 0x20},
                           {"dos-readonly.txt", "r", 0, 0x21},
                           {"dosdir/", "", 0, 0x10},
                       });
    EngineScript script;
    EXPECT_EQ(RunEngine(m_zip, m_out, Duplicates::Always, script), 1);
    const auto nodes = Snapshot(m_out);
    for (const char* special : {"chr", "blk", "sock"}) {
        EXPECT_EQ(nodes.count(special), 0u) << special;
    }
    // The reader itself turns a FIFO entry into an empty file.
    if (nodes.count("fifo")) {
        EXPECT_EQ(nodes.at("fifo").description, "file:");
    }
    const std::map<std::string, mode_t> modes = {
        {"setuid", 0755},  {"mode0000", 0644},         {"mode0777", 0755},
        {"dos.txt", 0644}, {"dos-readonly.txt", 0644}, {"dosdir", 0755},
    };
    for (const auto& [name, mode] : modes) {
        ASSERT_EQ(nodes.count(name), 1u) << name;
        EXPECT_EQ(nodes.at(name).mode, mode) << name;
    }
    expectOutsideUntouched();
}

} // namespace
} // namespace brisko::test
