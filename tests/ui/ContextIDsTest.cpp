// Help: every topic of the options window in the shipped document, unknown topics, a missing
// document, closing the viewer, and context help on the focused control.
#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBrowser>
#include <gtest/gtest.h>

#include "support/QtApp.h"
#include "ui/ContextIDs.h"

namespace brisko::ui {
namespace {

// The application has to exist before the fixture's windows.
struct WithApplication {
    WithApplication() { test::EnsureQApplication(); }
};

class ContextIDsTest : public ::testing::Test, private WithApplication {
protected:
    void TearDown() override {
        m_session.CloseHelp();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QWidget m_owner;
    HelpSession m_session;
};

// Each topic with a word its section must talk about, so a topic under the wrong anchor shows.
TEST_F(ContextIDsTest, EveryTopicOpensAtItsOwnSection) {
    struct Case {
        int id;
        const char* word;
    };
    const Case cases[] = {
        {kHelpContents, "Batch mode"},
        {kHelpCancel, "without saving"},
        {kHelpSave, "saves all the options"},
        {kHelpSubfolderName, "must not be empty"},
        {kHelpCreateSubfolders, "own subfolder"},
        {kHelpSingleSub, "one subfolder"},
        {kHelpOverwrite, "without asking"},
        {kHelpPrompt, "Yes to All"},
        {kHelpNewer, "is newer"},
        {kHelpDoNotOverwrite, "skipped"},
        {kHelpSameFolder, "right beside"},
        {kHelpDelete, "trash"},
        {kHelpHelpIcon, "opens this help"},
        {kHelpAboutIcon, "About Brisko"},
    };
    m_session.InitHelp(&m_owner);
    ASSERT_TRUE(QFile::exists(m_session.HelpFile()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        m_session.ShowHelpTopic(c.id);
        HelpViewer* viewer = m_session.viewer();
        ASSERT_NE(viewer, nullptr);
        EXPECT_TRUE(viewer->isVisible());
        EXPECT_EQ(viewer->currentTopic(), c.id);
        EXPECT_TRUE(viewer->notice().isEmpty());
        EXPECT_TRUE(viewer->topicText(c.id).contains(QLatin1String(c.word)))
            << viewer->topicText(c.id).toStdString();
        // The topic starts at the top of the view, unless the document ends before it could.
        QTextBrowser* browser = viewer->browser();
        ASSERT_TRUE(browser->find(viewer->topicText(c.id).section(QLatin1Char('\n'), 0, 0)));
        const int top = browser->cursorRect().top();
        const QScrollBar* bar = browser->verticalScrollBar();
        if (bar->value() < bar->maximum()) {
            EXPECT_LT(std::abs(top), 2 * browser->fontMetrics().height()) << top;
        } else {
            EXPECT_GE(top, 0);
            EXPECT_LT(top, browser->viewport()->height());
        }
        browser->moveCursor(QTextCursor::Start);
    }
}

TEST_F(ContextIDsTest, UnknownTopicShowsTheStartWithANote) {
    m_session.InitHelp(&m_owner);
    for (const int id : {0, 11, -210, 9999}) {
        SCOPED_TRACE(id);
        m_session.ShowHelpTopic(kHelpDelete);
        m_session.ShowHelpTopic(id);
        HelpViewer* viewer = m_session.viewer();
        ASSERT_NE(viewer, nullptr);
        EXPECT_TRUE(viewer->isVisible());
        EXPECT_EQ(viewer->currentTopic(), 0);
        EXPECT_TRUE(viewer->notice().contains(QString::number(id)));
        EXPECT_EQ(viewer->browser()->verticalScrollBar()->value(), 0);
    }
    // A known topic afterwards clears the note.
    m_session.ShowHelpTopic(kHelpSave);
    EXPECT_TRUE(m_session.viewer()->notice().isEmpty());
}

TEST_F(ContextIDsTest, WithoutADocumentTheViewerSaysSo) {
    // Before InitHelp there is no document; after it, a document that is not there.
    m_session.ShowHelpTopic(kHelpContents);
    ASSERT_NE(m_session.viewer(), nullptr);
    EXPECT_TRUE(m_session.HelpFile().isEmpty());
    EXPECT_EQ(m_session.viewer()->currentTopic(), 0);
    EXPECT_FALSE(m_session.viewer()->notice().isEmpty());

    m_session.InitHelp(&m_owner, QStringLiteral("/nonexistent/brisko-help.html"));
    EXPECT_EQ(m_session.HelpOwner(), &m_owner);
    m_session.ShowHelpTopic(kHelpContents);
    EXPECT_TRUE(m_session.viewer()->notice().contains(QLatin1String("/nonexistent/brisko-help.html")));
    EXPECT_TRUE(m_session.viewer()->browser()->toPlainText().isEmpty());
}

TEST_F(ContextIDsTest, CloseHelpClosesTheOneViewer) {
    m_session.CloseHelp(); // nothing open: harmless
    m_session.InitHelp(&m_owner);
    m_session.ShowHelpTopic(kHelpContents);
    const QPointer<HelpViewer> first = m_session.viewer();
    m_session.ShowHelpTopic(kHelpContents);
    EXPECT_EQ(m_session.viewer(), first); // pressing help twice: the same window
    m_session.CloseHelp();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(m_session.viewer(), nullptr);
    // A viewer the user closed opens afresh.
    m_session.ShowHelpTopic(kHelpSave);
    m_session.viewer()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_session.ShowHelpTopic(kHelpSave);
    ASSERT_NE(m_session.viewer(), nullptr);
    EXPECT_TRUE(m_session.viewer()->isVisible());
}

TEST_F(ContextIDsTest, ContextHelpUsesTheNearestIdInsideTheWindow) {
    SetHelpContextId(&m_owner, kHelpSave); // another window's id must not leak in
    auto* dialog = new QWidget(&m_owner, Qt::Dialog);
    auto* frame = new QWidget(dialog);
    auto* plain = new QWidget(frame);
    auto* own = new QPushButton(frame);
    SetHelpContextId(own, kHelpDelete);
    auto* inFrame = new QWidget(frame);
    SetHelpContextId(frame, kHelpSingleSub);
    struct Case {
        const QWidget* widget;
        int expected;
    };
    const Case cases[] = {{own, kHelpDelete},
                          {inFrame, kHelpSingleSub},
                          {plain, kHelpSingleSub},
                          {dialog, kHelpContents},
                          {nullptr, kHelpContents}};
    m_session.InitHelp(&m_owner);
    for (const Case& c : cases) {
        EXPECT_EQ(ShowContextHelp(c.widget, m_session), c.expected);
        EXPECT_EQ(m_session.viewer()->currentTopic(), c.expected);
    }
}

TEST_F(ContextIDsTest, F1ShowsTheTopicOfTheFocusedControl) {
    QWidget window;
    auto* button = new QPushButton(QStringLiteral("Delete"), &window);
    SetHelpContextId(button, kHelpDelete);
    InstallHelpKey(&window);
    InitHelp(&window);
    EXPECT_EQ(ProcessHelp().HelpFile(), QLatin1String(kHelpDocument));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    button->setFocus();
    QTest::keyClick(&window, Qt::Key_F1);
    ASSERT_NE(ProcessHelp().viewer(), nullptr);
    EXPECT_EQ(ProcessHelp().viewer()->currentTopic(), kHelpDelete);
    CloseHelp();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace
} // namespace brisko::ui
