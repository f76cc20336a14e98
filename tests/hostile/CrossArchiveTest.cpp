// Archives working against each other through the batch run, with the real window (offscreen) and
// the real engines: a link one archive leaves in the shared destination must not carry another
// archive's file anywhere, in one pass or in a later pass over archives that came out of archives,
// and an archive that had to refuse such a write fails and stays where it is.
#include <QPlainTextEdit>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "enginelibs/ZipFixtures.h"
#include "hostile/HostileArchives.h"
#include "hostile/QuietHosts.h"
#include "support/AceFixtures.h"
#include "support/QtApp.h"
#include "support/RarFixtures.h"
#include "support/TempDir.h"
#include "ui/frmBriskoLite.h"

namespace fs = std::filesystem;

namespace brisko::test::hostile {
namespace {

using LinkKind = ZipItem::Kind;

// Writes one archive of the scan set from a format-neutral entry list.
void Write(const std::string& path, Format format, const std::vector<HostileEntry>& entries) {
    WriteHostileArchive(format, path, entries);
}

HostileEntry File(std::string name, std::string data) {
    return {HostileEntry::Kind::File, std::move(name), std::move(data)};
}
HostileEntry Folder(std::string name) {
    return {HostileEntry::Kind::Folder, std::move(name), {}, 040755};
}
HostileEntry Link(std::string name, std::string target) {
    return {HostileEntry::Kind::Link, std::move(name), std::move(target), 0120777};
}

struct BatchOutcome {
    std::string failedList;
    bool clean = false;
};

BatchOutcome RunFolder(const std::string& folder, records::Settings settings, const std::string& trash) {
    EnsureQApplication();
    QuietHosts hosts;
    records::ProcessState state;
    state.settings = std::move(settings);
    const engines::EngineAdapters adapters = hosts.adapters();
    ui::frmBriskoLite window(state, hosts.dialogs, adapters, platform::TrashPlaces{trash});
    BatchOutcome outcome;
    outcome.clean = window.Form_Load(folder) == ui::frmBriskoLite::LoadOutcome::FinishedClean;
    if (const auto* errors = window.findChild<QPlainTextEdit*>("txtErrors")) {
        outcome.failedList = errors->toPlainText().toStdString();
    }
    return outcome;
}

records::Settings CommonSubfolder() {
    records::Settings settings;
    settings.SingleSub = 1;
    settings.SubFolderName = "Briskoed";
    settings.Overwrite = 1;
    settings.DeleteOriginals = 1;
    return settings;
}

class CrossArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldUmask = umask(022);
        fs::create_directory(m_in);
    }
    void TearDown() override { umask(m_oldUmask); }

    mode_t m_oldUmask = 0;
    TempDir m_root, m_home;
    const Sandbox m_sandbox{m_root.path()}; // the scan folder goes into the sandbox's destination
    const std::string m_in = m_sandbox.destination + "/in";
    const std::string m_out = m_in + "/Briskoed";
};

TEST_F(CrossArchiveTest, ALinkLeftByOneArchiveCarriesNoFileOfAnother) {
    const std::string outsideAbs = m_sandbox.outside;
    const struct {
        const char* label;
        Format formatA;
        std::vector<HostileEntry> a; // extracted first ("a..."), may leave a link
        Format formatB;
        std::string planted; // a link the user or another tool left as Briskoed/d, when not empty
        bool bMustFail;
    } cases[] = {
        {"ZIP leaves d -> sub, RAR 5 writes d/x",
         Format::Zip,
         {Folder("sub"), Link("d", "sub")},
         Format::Rar5,
         "",
         true},
        {"RAR 5 leaves d -> sub, ACE writes d\\x",
         Format::Rar5,
         {Folder("sub"), Link("d", "sub")},
         Format::Ace,
         "",
         true},
        {"RAR 4 leaves d -> sub, ZIP writes d/x",
         Format::Rar4,
         {Folder("sub"), Link("d", "sub")},
         Format::Zip,
         "",
         true},
        {"RAR 4 leaves d -> ., RAR 5 writes d/x", Format::Rar4, {Link("d", ".")}, Format::Rar5, "", true},
        {"ZIP's d -> outside is refused, ACE then makes a real d",
         Format::Zip,
         {Link("d", outsideAbs)},
         Format::Ace,
         "",
         false},
        {"RAR 5's d -> ../../outside is refused, ZIP then makes a real d",
         Format::Rar5,
         {Link("d", "../../../outside")},
         Format::Zip,
         "",
         false},
        {"a link to the outside another tool left",
         Format::Zip,
         {File("plain.txt", "p")},
         Format::Rar4,
         outsideAbs,
         true},
        {"a link to the sentinel link beside the scan folder",
         Format::Zip,
         {File("plain.txt", "p")},
         Format::Ace,
         m_sandbox.root + "/tosentinel",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(m_in);
        fs::create_directories(m_out);
        const std::string a = m_in + "/a" + Extension(c.formatA);
        const std::string b = m_in + "/b" + Extension(c.formatB);
        Write(a, c.formatA, c.a);
        Write(b, c.formatB, {File(c.formatB == Format::Ace ? "d\\x" : "d/x", "through")});
        if (!c.planted.empty()) {
            ASSERT_EQ(symlink(c.planted.c_str(), (m_out + "/d").c_str()), 0);
        }
        const auto outside = DeepSnapshot(m_sandbox.root, "out");
        const std::string trash = m_home / "Trash";

        const BatchOutcome outcome = RunFolder(m_in, CommonSubfolder(), trash);

        EXPECT_EQ(DeepSnapshot(m_sandbox.root, "out"), outside);
        EXPECT_FALSE(Exists(m_out + "/sub/x")) << "written through the link";
        if (c.planted.empty()) {
            EXPECT_TRUE(CheckDestination(m_sandbox.root, m_in).empty());
        }
        if (c.bMustFail) {
            EXPECT_FALSE(outcome.clean);
            EXPECT_NE(outcome.failedList.find("b" + Extension(c.formatB)), std::string::npos)
                << outcome.failedList;
            EXPECT_TRUE(Exists(b)) << "a failed archive went to the trash";
        } else {
            struct stat st {};
            ASSERT_EQ(lstat((m_out + "/d").c_str(), &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(ReadFile(m_out + "/d/x"), "through");
            EXPECT_TRUE(Exists(a)) << "the archive with the refused link went to the trash";
            EXPECT_FALSE(Exists(b));
        }
    }
}

TEST_F(CrossArchiveTest, ALinkFromOnePassCarriesNoFileOfTheNext) {
    // The nested archive lands in Briskoed and is extracted in the next pass into Briskoed/Briskoed,
    // where the outer archive already put a link named like the nested archive's folder.
    const struct {
        const char* label;
        Format outer, inner;
        std::string linkTarget;
        bool innerMustFail;
    } cases[] = {
        {"ZIP holding RAR 5, link inside", Format::Zip, Format::Rar5, "sub", true},
        {"RAR 5 holding ZIP, link inside", Format::Rar5, Format::Zip, "sub", true},
        {"RAR 4 holding ACE, link inside", Format::Rar4, Format::Ace, "sub", true},
        {"ZIP holding RAR 4, link out (refused)", Format::Zip, Format::Rar4, "../../../outside", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(m_in);
        fs::create_directories(m_in);
        TempDir work;
        const std::string inner = work / ("inner" + Extension(c.inner));
        Write(inner, c.inner, {File(c.inner == Format::Ace ? "d\\x" : "d/x", "through")});
        Write(m_in + "/outer" + Extension(c.outer), c.outer,
              {File("inner" + Extension(c.inner), ReadFile(inner)), Folder("Briskoed/sub"),
               Link("Briskoed/d", c.linkTarget)});
        const auto outside = DeepSnapshot(m_sandbox.root, "out");
        records::Settings settings = CommonSubfolder();
        settings.ZipsInZips = 1;
        settings.Recurse = 1; // the next pass finds the nested archive in Briskoed

        const BatchOutcome outcome = RunFolder(m_in, settings, m_home / "Trash");

        EXPECT_EQ(DeepSnapshot(m_sandbox.root, "out"), outside);
        EXPECT_FALSE(Exists(m_out + "/Briskoed/sub/x")) << "written through the link";
        EXPECT_TRUE(CheckDestination(m_sandbox.root, m_in).empty());
        const std::string nested = m_out + "/inner" + Extension(c.inner);
        if (c.innerMustFail) {
            EXPECT_NE(outcome.failedList.find("inner" + Extension(c.inner)), std::string::npos)
                << outcome.failedList;
            EXPECT_TRUE(Exists(nested)) << "a failed nested archive went to the trash";
        } else if (Exists(m_out + "/Briskoed/d")) {
            // The outer archive failed, so there may be no further pass; if there was one, d is a folder.
            EXPECT_TRUE(fs::is_directory(fs::symlink_status(m_out + "/Briskoed/d")));
        }
    }
}

// An archive inside an archive named like an archive of the scan set, extracted into the same
// folder: the scan set's archive must neither be overwritten nor trashed in place of the other.
TEST_F(CrossArchiveTest, ANestedArchiveDoesNotReplaceASiblingOfTheScanSet) {
    const std::string sibling = m_in + "/b.rar";
    fs::create_directories(m_in);
    WriteRar(m_in + "/b", {{"keep.txt", "the sibling's content"}}, RarFormat::Rar5);
    const std::string original = ReadFile(sibling);
    WriteZip(m_in + "/a.zip", {{"b.rar", "not the sibling"}});
    records::Settings settings;
    settings.SameFolder = 1;
    settings.Overwrite = 1;
    settings.ZipsInZips = 1;

    const BatchOutcome outcome = RunFolder(m_in, settings, m_home / "Trash");

    EXPECT_EQ(ReadFile(sibling), original) << outcome.failedList;
    EXPECT_EQ(ReadFile(m_in + "/keep.txt"), "the sibling's content");
    // a.zip could not leave its b.rar, so it is listed and stays; nothing hidden is left beside it.
    EXPECT_NE(outcome.failedList.find("a.zip"), std::string::npos) << outcome.failedList;
    EXPECT_TRUE(CheckDestination(m_sandbox.root, m_in).empty());
}

} // namespace
} // namespace brisko::test::hostile
