// The options window: what it shows for stored values (odd ones included), each way Save & Exit
// ends, the ways out and help.
// Faults this group exists to catch:
// - a stored value shown on the wrong button or box (rule order, values other than 0 and 1);
// - a name the destination cannot use saved (empty, "..", forbidden characters), leading backslashes
//   kept, or the message/focus missing when refused;
// - other than the ten values stored, a greyed box's 2 lost, the settings in memory changed by the boxes;
// - Cancel, Escape or the close box storing anything or leaving help open;
// - the text box not following its button, F1 showing another topic than the focused control's;
// - a topic of the shipped help document opening at another topic's section (anchor lost or renamed).
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

#include "support/QtApp.h"
#include "support/RecordingDialogs.h"
#include "ui/ContextIDs.h"
#include "ui/HelpViewer.h"
#include "ui/frmOptions.h"

namespace brisko::ui {
namespace {

// The ten values as the store would keep them, in the store's order.
std::string Show(const records::Settings& s) {
    std::string shown;
    for (const int value : {s.Overwrite, s.Prompt, s.Newer, s.SingleSub, s.SeparateSubs, s.SameFolder}) {
        shown += std::to_string(value);
    }
    return shown + " '" + s.SubFolderName + "' " + std::to_string(s.DeleteOriginals) +
           std::to_string(s.ZipsInZips) + std::to_string(s.Recurse);
}

class frmOptionsTest : public ::testing::Test {
protected:
    // A window over these values (Overwrite ... SameFolder; Delete, ZipsInZips, Recurse), loaded and shown.
    void open(std::array<std::int16_t, 6> g, std::array<std::int16_t, 3> c, std::string name = "Briskoed") {
        test::EnsureQApplication();
        m_settings = {g[0], g[1], g[2], g[3], g[4], g[5], std::move(name), c[0], c[1], c[2]};
        m_stored.clear();
        m_dialogs.messages.clear();
        m_window = std::make_unique<frmOptions>(
            m_settings, m_dialogs, [this](const records::Settings& s) { m_stored.push_back(Show(s)); });
        m_window->Form_Load();
        m_window->show();
        QApplication::processEvents();
    }
    template <typename T = QWidget> T* control(const char* name) const {
        return m_window->findChild<T*>(name);
    }
    // The chosen button of each group, then the states of the three boxes (0 off, 1 greyed, 2 on).
    std::string shown() const {
        std::string text;
        for (const auto* button : m_window->findChildren<QRadioButton*>()) {
            text += button->isChecked() ? button->objectName().toStdString() + " " : "";
        }
        for (const char* box : {"chkDelete", "chkZipsInZips", "chkRecurse"}) {
            text += std::to_string(control<QCheckBox>(box)->checkState());
        }
        return text;
    }

    records::Settings m_settings;
    test::RecordingDialogs m_dialogs;
    std::vector<std::string> m_stored;
    std::unique_ptr<frmOptions> m_window;
};

TEST_F(frmOptionsTest, LoadShowsTheFirstRuleThatHoldsAndLeavesOddValuesAsDesigned) {
    // Overwrite Prompt Newer SingleSub SeparateSubs SameFolder; Delete ZipsInZips Recurse; what shows.
    const std::tuple<std::array<std::int16_t, 6>, std::array<std::int16_t, 3>, std::string> cases[] = {
        {{1, 0, 1, 0, 1, 0}, {1, 0, 1}, "optNewer optCreateSubfolders 202"}, // newer wins over overwrite
        {{1, 1, 0, 0, 0, 1}, {0, 1, 0}, "optOverwrite optSameFolder 020"},
        {{0, 1, 0, 1, 1, 1}, {0, 0, 0}, "optPrompt optSingleSub 000"},
        {{0, 0, 0, 0, 0, 0}, {0, 0, 0}, "optDoNotOverwrite optSingleSub 000"},
        // Only exactly 1 counts; a box value 2 shows greyed.
        {{-1, 2, 2, 2, -1, 1}, {2, 7, -1}, "optDoNotOverwrite optSameFolder 100"},
    };
    for (const auto& [groups, boxes, expected] : cases) {
        open(groups, boxes);
        EXPECT_EQ(shown(), expected);
        EXPECT_EQ(control("txtSubfolder")->isEnabled(), expected.find("optSingleSub") != std::string::npos);
    }
}

TEST_F(frmOptionsTest, SaveChecksTheNameThenStoresTenValuesAndCloses) {
    const std::string kEmpty = frmOptions::kEmptyNameMessage.toStdString();
    const std::string kForbidden = frmOptions::kForbiddenNameMessage.toStdString();
    // The destination and duplicate buttons clicked, the name typed, and the message shown or the ten
    // values stored.
    const std::tuple<const char*, const char*, QString, std::string> cases[] = {
        {"optSingleSub", "optPrompt", "Out", "010100 'Out' 211"},
        {"optSingleSub", "optNewer", "", kEmpty},
        {"optSingleSub", "optNewer", "  ", "101100 '  ' 211"}, // blanks are a name
        {"optCreateSubfolders", "optOverwrite", "", "100010 '' 211"},
        {"optSingleSub", "optDoNotOverwrite", "\\\\Out", "000100 'Out' 211"},
        {"optSingleSub", "optNewer", "\\", kEmpty},
        {"optSingleSub", "optNewer", "..", kEmpty},
        {"optSameFolder", "optNewer", "a\\b", "101001 'a\\b' 211"},
        {"optSameFolder", "optNewer", "why?", kForbidden}, // even when the name is not used
        {"optSingleSub", "optNewer", "\\c:", kForbidden},
        {"optSingleSub", "optNewer", QStringLiteral("Entpackt \u00e4\u4e2d"),
         "101100 'Entpackt \xc3\xa4\xe4\xb8\xad' 211"},
    };
    for (const char* bad : {"/", ":", "*", "?", "\"", "<", ">", "|"}) {
        open({0, 0, 0, 1, 0, 0}, {0, 0, 0}, std::string("x") + bad + "y");
        m_window->cmdSave_Click();
        EXPECT_EQ(m_dialogs.messages, std::vector<std::string>{kForbidden}) << bad;
    }
    for (const auto& [destination, duplicates, typed, outcome] : cases) {
        SCOPED_TRACE(typed.toStdString());
        open({0, 0, 0, 1, 0, 0}, {2, 0, 1}); // a greyed box nobody touches keeps its 2
        control<QRadioButton>(duplicates)->click();
        control<QRadioButton>(destination)->click();
        control<QCheckBox>("chkZipsInZips")->click();
        control<QLineEdit>("txtSubfolder")->setText(typed);
        QTest::mouseClick(control<QPushButton>("cmdSave"), Qt::LeftButton);
        ASSERT_EQ(m_dialogs.messages.size() + m_stored.size(), 1u);
        EXPECT_EQ(m_dialogs.messages.empty() ? m_stored.front() : m_dialogs.messages.front(), outcome);
        EXPECT_EQ(m_window->isVisible(), !m_dialogs.messages.empty());
        EXPECT_EQ(control("txtSubfolder")->hasFocus(), outcome == kEmpty);
        EXPECT_EQ(m_settings.ZipsInZips, 0)
            << "the check boxes are stored, not copied into the settings in memory";
    }
}

TEST_F(frmOptionsTest, TheWaysOutWithoutSaveStoreNothingAndCloseHelpAndF1ShowsTheFocusedTopic) {
    for (const int key : {0, int(Qt::Key_Escape), -1}) { // 0: Cancel, -1: the close box
        open({0, 0, 0, 1, 0, 0}, {0, 0, 0});
        // F1 shows the topic of the focused control; the check boxes without one show the contents.
        for (const auto& [name, topic] : {std::pair{"txtSubfolder", kHelpSubfolderName},
                                          {"chkRecurse", kHelpContents},
                                          {"cmdCancel", kHelpCancel}}) {
            control(name)->setFocus();
            QTest::keyClick(m_window.get(), Qt::Key_F1);
            ASSERT_NE(ProcessHelp().viewer(), nullptr) << name;
            EXPECT_EQ(ProcessHelp().viewer()->currentTopic(), topic) << name;
        }
        key == 0  ? control<QPushButton>("cmdCancel")->click()
        : key < 0 ? void(m_window->close())
                  : QTest::keyClick(m_window.get(), Qt::Key(key));
        EXPECT_FALSE(m_window->isVisible());
        EXPECT_TRUE(m_stored.empty());
        EXPECT_EQ(ProcessHelp().viewer(), nullptr);
    }
}

// Each topic with a word its own section talks about, so a topic under the wrong anchor shows.
TEST(HelpDocument, EveryTopicOpensAtItsOwnSection) {
    test::EnsureQApplication();
    QWidget owner;
    HelpSession session;
    session.InitHelp(&owner);
    for (const auto& [id, word] : {std::pair{kHelpContents, "Batch mode"}, {kHelpCancel, "without saving"},
                                   {kHelpSave, "saves all the options"}, {kHelpSubfolderName, "must not be empty"},
                                   {kHelpCreateSubfolders, "own subfolder"}, {kHelpSingleSub, "one subfolder"},
                                   {kHelpOverwrite, "without asking"}, {kHelpPrompt, "Yes to All"},
                                   {kHelpNewer, "is newer"}, {kHelpDoNotOverwrite, "skipped"},
                                   {kHelpSameFolder, "right beside"}, {kHelpDelete, "trash"},
                                   {kHelpHelpIcon, "opens this help"}, {kHelpAboutIcon, "About Brisko"}}) {
        session.ShowHelpTopic(id);
        ASSERT_NE(session.viewer(), nullptr) << id;
        EXPECT_EQ(session.viewer()->currentTopic(), id);
        EXPECT_TRUE(session.viewer()->notice().isEmpty()) << session.viewer()->notice().toStdString();
        EXPECT_TRUE(session.viewer()->topicText(id).contains(QLatin1String(word))) << id << " " << word;
    }
    session.CloseHelp();
}

} // namespace
} // namespace brisko::ui
