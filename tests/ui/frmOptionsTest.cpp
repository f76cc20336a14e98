// The options window: what it shows for stored values (odd ones included), each way Save & Exit
// ends, what lands in the settings file, the tips a hover shows, the icons and the ways out.
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <optional>

#include "startup/SettingsStore.h"
#include "support/QtApp.h"
#include "support/RecordingDialogs.h"
#include "support/TempDir.h"
#include "ui/ContextIDs.h"
#include "ui/clsToolTip.h"
#include "ui/frmOptions.h"

namespace brisko::ui {
namespace {

struct WithApplication {
    WithApplication() { test::EnsureQApplication(); }
};

// The ten values as they were handed to the store, in the store's order.
struct Stored {
    int Overwrite, Prompt, Newer, SingleSub, SeparateSubs, SameFolder;
    std::string SubFolderName;
    int DeleteOriginals, ZipsInZips, Recurse;
    bool operator==(const Stored&) const = default;
};

Stored From(const records::Settings& s) {
    return {s.Overwrite, s.Prompt,          s.Newer,      s.SingleSub, s.SeparateSubs,
            s.SameFolder, s.SubFolderName, s.DeleteOriginals, s.ZipsInZips, s.Recurse};
}

void PrintTo(const Stored& s, std::ostream* os) {
    *os << s.Overwrite << s.Prompt << s.Newer << s.SingleSub << s.SeparateSubs << s.SameFolder << " '"
        << s.SubFolderName << "' " << s.DeleteOriginals << s.ZipsInZips << s.Recurse;
}

class frmOptionsTest : public ::testing::Test, private WithApplication {
protected:
    // A window over `settings`, loaded and shown.
    void Open(const records::Settings& settings) {
        m_settings = settings;
        m_window = std::make_unique<frmOptions>(m_settings, m_dialogs, [this](const records::Settings& s) {
            m_stored.push_back(From(s));
        });
        m_window->Form_Load();
        m_window->show();
        QApplication::processEvents();
    }
    template <typename T = QWidget> T* Control(const char* name) const {
        auto* widget = m_window->findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QString CheckedIn(const char* frame) const {
        for (auto* button : Control<QGroupBox>(frame)->findChildren<QRadioButton*>()) {
            if (button->isChecked()) {
                return button->objectName();
            }
        }
        return {};
    }

    records::Settings m_settings;
    test::RecordingDialogs m_dialogs;
    std::vector<Stored> m_stored;
    std::unique_ptr<frmOptions> m_window;
};

records::Settings Make(std::array<std::int16_t, 6> groups, std::array<std::int16_t, 3> checks,
                       std::string name = "Briskoed") {
    records::Settings s;
    s.Overwrite = groups[0];
    s.Prompt = groups[1];
    s.Newer = groups[2];
    s.SingleSub = groups[3];
    s.SeparateSubs = groups[4];
    s.SameFolder = groups[5];
    s.SubFolderName = std::move(name);
    s.DeleteOriginals = checks[0];
    s.ZipsInZips = checks[1];
    s.Recurse = checks[2];
    return s;
}

TEST_F(frmOptionsTest, LoadShowsTheFirstRuleThatHoldsAndLeavesOddValuesAsDesigned) {
    const struct {
        const char* what;
        records::Settings settings;
        const char* duplicates;
        const char* destination;
        std::array<Qt::CheckState, 3> checks;
    } cases[] = {
        {"newer wins over overwrite", Make({1, 0, 1, 0, 1, 0}, {1, 0, 1}), "optNewer", "optCreateSubfolders",
         {Qt::Checked, Qt::Unchecked, Qt::Checked}},
        {"overwrite without newer", Make({1, 1, 0, 0, 0, 1}, {0, 1, 0}), "optOverwrite", "optSameFolder",
         {Qt::Unchecked, Qt::Checked, Qt::Unchecked}},
        {"prompt", Make({0, 1, 0, 1, 1, 1}, {0, 0, 0}), "optPrompt", "optSingleSub",
         {Qt::Unchecked, Qt::Unchecked, Qt::Unchecked}},
        {"all off: do not overwrite; no destination: the single subfolder",
         Make({0, 0, 0, 0, 0, 0}, {0, 0, 0}), "optDoNotOverwrite", "optSingleSub",
         {Qt::Unchecked, Qt::Unchecked, Qt::Unchecked}},
        {"only exactly 1 counts; a box value 2 shows greyed, 7 leaves the box as designed",
         Make({-1, 2, 2, 2, -1, 1}, {2, 7, -1}), "optDoNotOverwrite", "optSameFolder",
         {Qt::PartiallyChecked, Qt::Unchecked, Qt::Unchecked}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Open(c.settings);
        EXPECT_EQ(CheckedIn("Frame1"), QLatin1String(c.duplicates));
        EXPECT_EQ(CheckedIn("frmExtractPaths"), QLatin1String(c.destination));
        EXPECT_EQ(Control("txtSubfolder")->isEnabled(), std::string(c.destination) == "optSingleSub");
        EXPECT_EQ(Control<QLineEdit>("txtSubfolder")->text(), "Briskoed");
        const char* boxes[] = {"chkDelete", "chkZipsInZips", "chkRecurse"};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(Control<QCheckBox>(boxes[i])->checkState(), c.checks[i]) << boxes[i];
        }
    }
}

TEST_F(frmOptionsTest, SaveChecksTheNameThenStoresTenValuesAndCloses) {
    const std::string kEmpty = frmOptions::kEmptyNameMessage.toStdString();
    const std::string kForbidden = frmOptions::kForbiddenNameMessage.toStdString();
    const struct {
        const char* what;
        const char* destination;
        const char* duplicates;
        QString typed;
        std::string message; // empty: saved
        std::string storedName;
    } cases[] = {
        {"valid", "optSingleSub", "optPrompt", QStringLiteral("Out"), "", "Out"},
        {"empty name with a single subfolder", "optSingleSub", "optNewer", QString(), kEmpty, ""},
        {"blanks are a name", "optSingleSub", "optNewer", QStringLiteral("  "), "", "  "},
        {"empty name is fine for the other destinations", "optCreateSubfolders", "optOverwrite", QString(), "",
         ""},
        {"leading backslashes go", "optSingleSub", "optDoNotOverwrite", QStringLiteral("\\\\Out"), "", "Out"},
        {"one backslash leaves no name", "optSingleSub", "optNewer", QStringLiteral("\\"), kEmpty, ""},
        {"a name that is no folder below", "optSingleSub", "optNewer", QStringLiteral(".."), kEmpty, ""},
        {"a backslash inside stays", "optSameFolder", "optNewer", QStringLiteral("a\\b"), "", "a\\b"},
        {"forbidden character with an unused name", "optSameFolder", "optNewer", QStringLiteral("why?"),
         kForbidden, ""},
        {"forbidden after the backslashes go", "optSingleSub", "optNewer", QStringLiteral("\\c:"), kForbidden,
         ""},
        {"not Latin-1", "optSingleSub", "optNewer", QStringLiteral("Entpackt \u00e4\u4e2d"), "",
         "Entpackt \xc3\xa4\xe4\xb8\xad"},
    };
    for (const char* pipe : {"/", ":", "*", "?", "\"", "<", ">", "|"}) {
        SCOPED_TRACE(pipe);
        Open(Make({0, 0, 0, 1, 0, 0}, {0, 0, 0}, std::string("x") + pipe + "y"));
        m_dialogs.messages.clear();
        m_window->cmdSave_Click();
        EXPECT_EQ(m_dialogs.messages, std::vector<std::string>{kForbidden});
        EXPECT_TRUE(m_window->isVisible());
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_stored.clear();
        m_dialogs.messages.clear();
        Open(Make({0, 0, 0, 1, 0, 0}, {1, 0, 1}));
        Control<QRadioButton>(c.duplicates)->click();
        Control<QRadioButton>(c.destination)->click();
        Control<QCheckBox>("chkZipsInZips")->click();
        Control<QLineEdit>("txtSubfolder")->setText(c.typed);
        QTest::mouseClick(Control<QPushButton>("cmdSave"), Qt::LeftButton);
        if (!c.message.empty()) {
            EXPECT_EQ(m_dialogs.messages, std::vector<std::string>{c.message});
            EXPECT_TRUE(m_stored.empty());
            EXPECT_TRUE(m_window->isVisible());
            if (c.message == kEmpty) {
                EXPECT_TRUE(Control("txtSubfolder")->hasFocus());
            }
            continue;
        }
        EXPECT_TRUE(m_dialogs.messages.empty());
        EXPECT_FALSE(m_window->isVisible());
        ASSERT_EQ(m_stored.size(), 1u);
        const std::string dup = c.duplicates, dest = c.destination;
        const Stored expected{dup == "optNewer" || dup == "optOverwrite",
                              dup == "optPrompt",
                              dup == "optNewer",
                              dest == "optSingleSub",
                              dest == "optCreateSubfolders",
                              dest == "optSameFolder",
                              c.storedName,
                              1,
                              1,
                              1};
        EXPECT_EQ(m_stored.front(), expected);
        // The check boxes are stored, not copied into the settings in memory.
        EXPECT_EQ(m_settings.ZipsInZips, 0);
    }
}

TEST_F(frmOptionsTest, WhatLandsInTheSettingsFile) {
    test::TempDir home;
    const QString path = QString::fromStdString(home / "Brisko/Brisko.ini");
    records::Settings settings = Make({1, 0, 1, 1, 0, 0}, {2, 0, 0}, "Old");
    startup::SettingsStore store(path);
    frmOptions window(settings, m_dialogs,
                      [&store](const records::Settings& chosen) { startup::SaveSettings(store, chosen); });
    window.Form_Load();
    window.findChild<QRadioButton*>(QStringLiteral("optPrompt"))->click();
    window.findChild<QLineEdit*>(QStringLiteral("txtSubfolder"))->setText(QStringLiteral("\\\\New; x=1"));
    window.findChild<QCheckBox*>(QStringLiteral("chkRecurse"))->click();
    window.cmdSave_Click();
    // A greyed box nobody touched keeps its 2; every other number is 0 or 1.
    const std::string expected = "[Options]\nDeleteOriginals=2\nNewer=0\nOverwrite=0\nPrompt=1\nRecurse=1\n"
                                 "SameFolder=0\nSeparateSubs=0\nSingleSub=1\nSubFolderName=\"New; x=1\"\nZipsInZips=0\n";
    EXPECT_EQ(test::ReadFile(home / "Brisko/Brisko.ini"), expected);
    EXPECT_EQ(startup::LoadSettings(startup::SettingsStore(path)).SubFolderName, "New; x=1");
}

TEST_F(frmOptionsTest, TheWaysOutWithoutSaveStoreNothingAndCloseHelp) {
    const std::function<void(frmOptions&)> ways[] = {
        [](frmOptions& w) { w.findChild<QPushButton*>(QStringLiteral("cmdCancel"))->click(); },
        [](frmOptions& w) { QTest::keyClick(&w, Qt::Key_Escape); },
        [](frmOptions& w) { w.close(); },
    };
    for (const auto& way : ways) {
        Open(Make({0, 0, 0, 1, 0, 0}, {0, 0, 0}));
        m_window->imgHelp_Click();
        ASSERT_NE(ProcessHelp().viewer(), nullptr);
        way(*m_window);
        EXPECT_FALSE(m_window->isVisible());
        EXPECT_TRUE(m_stored.empty());
        EXPECT_EQ(ProcessHelp().viewer(), nullptr);
    }
    // Enter is Save & Exit.
    Open(Make({0, 0, 0, 1, 0, 0}, {0, 0, 0}));
    QTest::keyClick(Control("txtSubfolder"), Qt::Key_Return);
    EXPECT_EQ(m_stored.size(), 1u);
}

TEST_F(frmOptionsTest, TabOrderAndTheTextBoxFollowingItsButton) {
    Open(Make({0, 0, 0, 1, 0, 0}, {0, 0, 0}));
    const QStringList expected{"optNewer",      "optOverwrite", "optDoNotOverwrite", "optPrompt", "optSingleSub",
                               "txtSubfolder",  "optCreateSubfolders", "optSameFolder", "chkDelete",
                               "chkZipsInZips", "chkRecurse",   "cmdSave",           "cmdCancel"};
    QStringList order;
    QWidget* w = Control("optNewer");
    do {
        // Tab itself lands only on the chosen button of a group, as radio groups do.
        if (w->focusPolicy() != Qt::NoFocus) {
            order << w->objectName();
        }
        w = w->nextInFocusChain();
    } while (w != Control("optNewer"));
    EXPECT_EQ(order, expected);

    auto* text = Control("txtSubfolder");
    QTest::mouseClick(Control("optSameFolder"), Qt::LeftButton);
    EXPECT_FALSE(text->isEnabled());
    QTest::mouseClick(Control("optSingleSub"), Qt::LeftButton);
    EXPECT_TRUE(text->isEnabled());
    QTest::mouseClick(Control("optCreateSubfolders"), Qt::LeftButton);
    EXPECT_FALSE(text->isEnabled());
    EXPECT_EQ(Control<QPushButton>("cmdSave")->text(), "Save && Exit");

    // F1 shows the topic of the focused control; the check boxes without one show the contents.
    QTest::mouseClick(Control("optSingleSub"), Qt::LeftButton);
    const std::pair<const char*, int> topics[] = {
        {"txtSubfolder", kHelpSubfolderName}, {"optSameFolder", kHelpSameFolder},
        {"chkDelete", kHelpDelete}, {"chkRecurse", kHelpContents}, {"cmdCancel", kHelpCancel}};
    for (const auto& [name, topic] : topics) {
        Control(name)->setFocus();
        QTest::keyClick(m_window.get(), Qt::Key_F1);
        ASSERT_NE(ProcessHelp().viewer(), nullptr) << name;
        EXPECT_EQ(ProcessHelp().viewer()->currentTopic(), topic) << name;
    }
    m_window->close();
}

TEST_F(frmOptionsTest, HoverShowsEachTipWithItsLineBreaksAndFramesShowNone) {
    Open(Make({0, 0, 0, 1, 0, 0}, {0, 0, 0}));
    clsToolTip* tips = m_window->OptionsToolTip();
    ASSERT_NE(tips, nullptr);
    EXPECT_EQ(tips->DelayTime(clsToolTip::TTDT_AUTOPOP), 20000);
    EXPECT_EQ(tips->MaxTipWidth(), 240);
    EXPECT_EQ(tips->ToolCount(), 17);
    tips->DelayTime(clsToolTip::TTDT_INITIAL, 5);
    tips->DelayTime(clsToolTip::TTDT_RESHOW, 5);
    auto* tip = qobject_cast<QLabel*>(tips->hWnd());

    // Over each control in turn, as the real pointer moves: frames show nothing, the fifteen show
    // their text, each "\r\n" a line break of its own and no other break.
    int shown = 0;
    for (QWidget* control : m_window->WindowedControls()) {
        SCOPED_TRACE(control->objectName().toStdString());
        QTest::mouseMove(control, QPoint(4, control->height() / 2 + 1));
        QTest::qWait(60);
        const QString text = tips->ToolText(control);
        if (qobject_cast<QGroupBox*>(control) != nullptr) {
            EXPECT_TRUE(text.isEmpty());
            EXPECT_FALSE(tip->isVisible());
            continue;
        }
        ASSERT_TRUE(tip->isVisible());
        EXPECT_EQ(tip->text(), QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        EXPECT_FALSE(text.startsWith(QStringLiteral("Information")));
        ++shown;
    }
    EXPECT_EQ(shown, 15);
    const QString zips = tips->ToolText(Control("chkZipsInZips"));
    EXPECT_EQ(zips.split(QStringLiteral("\r\n")),
              (QStringList{"If an archive contains other archives, keep extracting ",
                           "until all archives are extracted. ", "",
                           "NOTE: If an archive contains another archive inside ",
                           "a subfolder of the archive, the \"Search subfolders\" ",
                           "option below must be turned on in order for the ",
                           "newly-extracted archives to be found."}));
    EXPECT_EQ(tips->ToolText(Control("optCreateSubfolders")).count(QStringLiteral("\r\n")), 6);
}

TEST_F(frmOptionsTest, IconsLookPressedUntilClickedOrLeftAndOpenHelpAndAbout) {
    Open(Make({0, 0, 0, 1, 0, 0}, {0, 0, 0}));
    auto* help = Control<QLabel>("imgHelp");
    auto* about = Control<QLabel>("imgAbout");
    EXPECT_EQ(help->frameShape(), QFrame::NoFrame);
    QTest::mousePress(help, Qt::RightButton);
    EXPECT_EQ(help->frameShape(), QFrame::Box);
    QTest::mouseRelease(help, Qt::RightButton); // not a click
    EXPECT_EQ(help->frameShape(), QFrame::Box);
    EXPECT_EQ(ProcessHelp().viewer(), nullptr);
    QTest::mouseMove(about); // no button down any more: both flat
    EXPECT_EQ(help->frameShape(), QFrame::NoFrame);
    QTest::mousePress(help, Qt::LeftButton);
    QTest::mouseRelease(help, Qt::LeftButton, {}, QPoint(-3, -3)); // released beside it: no click
    EXPECT_EQ(help->frameShape(), QFrame::Box);
    QTest::mouseMove(m_window.get(), QPoint(2, 2)); // over the background
    EXPECT_EQ(help->frameShape(), QFrame::NoFrame);
    EXPECT_EQ(ProcessHelp().viewer(), nullptr);

    QTest::mouseClick(help, Qt::LeftButton);
    EXPECT_EQ(help->frameShape(), QFrame::NoFrame);
    ASSERT_NE(ProcessHelp().viewer(), nullptr);
    EXPECT_EQ(ProcessHelp().viewer()->currentTopic(), kHelpContents);
    EXPECT_EQ(ProcessHelp().HelpOwner(), m_window.get());

    // The about box is modal; it is closed from inside its own event loop. It is made once.
    for (int showing = 0; showing < 2; ++showing) {
        bool sawBox = false;
        QTimer::singleShot(50, [&] {
            if (auto* box = m_window->AboutBox(); box != nullptr && box->isVisible()) {
                sawBox = box->isModal();
                box->accept();
            }
        });
        const QPointer<frmAbout> before = m_window->AboutBox();
        if (showing == 0) {
            QTest::mouseClick(about, Qt::LeftButton);
        } else {
            m_window->mnuAbout_Click();
            EXPECT_EQ(m_window->AboutBox(), before.data());
        }
        EXPECT_TRUE(sawBox);
        EXPECT_EQ(about->frameShape(), QFrame::NoFrame);
    }
    m_window->close();
}

} // namespace
} // namespace brisko::ui
