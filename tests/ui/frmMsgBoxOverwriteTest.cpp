// The overwrite question: its layout, the answer each button and key gives, how the window widens
// for long names, and how a name is shown.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

#include "support/QtApp.h"
#include "ui/frmMsgBoxOverwrite.h"

namespace brisko::ui {
namespace {

template <typename T = QWidget> T* Control(const QWidget& window, const char* name) {
    auto* widget = window.findChild<T*>(QLatin1String(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

// Asks about `name` through QtOverwritePrompt and runs `act` on the window once it is shown and
// active. A window still open after some seconds is closed, so a broken case fails rather than
// hanging the suite.
std::string AnswerWhile(const std::string& name, const std::function<void(frmMsgBoxOverwrite&)>& act) {
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        ADD_FAILURE() << "the window was still open";
        // Hiding ends the showing even when closing is refused.
        if (QWidget* open = QApplication::activeModalWidget()) {
            open->hide();
        }
    });
    QTimer actor;
    actor.setSingleShot(true);
    QObject::connect(&actor, &QTimer::timeout, [&] {
        auto* window = qobject_cast<frmMsgBoxOverwrite*>(QApplication::activeModalWidget());
        if (window == nullptr) {
            ADD_FAILURE() << "no modal window";
            return;
        }
        EXPECT_TRUE(QTest::qWaitForWindowActive(window));
        act(*window);
    });
    watchdog.start(5000);
    actor.start(0);
    QtOverwritePrompt prompt;
    return prompt.OverwriteAnswer(name);
}

class frmMsgBoxOverwriteTest : public ::testing::Test {
protected:
    void SetUp() override { test::EnsureQApplication(); }
};

struct ControlCase {
    const char* name;
    QRect geometry; // logical pixels: twips / 15, relative to the parent
    const char* text;
};

TEST_F(frmMsgBoxOverwriteTest, LayoutTextsDefaultAndTabOrder) {
    const ControlCase cases[] = {
        {"frameButtons", {12, 72, 278, 23}, nullptr},  {"cmdYesToAll", {0, 0, 65, 23}, "Yes To All"},
        {"cmdYes", {71, 0, 65, 23}, "&Yes"},           {"cmdNo", {142, 0, 65, 23}, "&No"},
        {"cmdNoToAll", {213, 0, 65, 23}, "No To All"},
    };
    frmMsgBoxOverwrite window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    EXPECT_EQ(window.windowTitle(), QStringLiteral("File Already Exists"));
    EXPECT_EQ(window.frameGeometry().width(), 308);
    EXPECT_EQ(window.height(), 105);
    for (const ControlCase& c : cases) {
        const QWidget* widget = Control(window, c.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), c.geometry) << c.name;
        if (c.text != nullptr) {
            EXPECT_EQ(static_cast<const QPushButton*>(widget)->text(), QString::fromLatin1(c.text)) << c.name;
            EXPECT_EQ(static_cast<const QPushButton*>(widget)->isDefault(), c.name == std::string("cmdNo"))
                << c.name;
        }
    }
    const auto* prompt = Control<QLabel>(window, "lblPrompt");
    EXPECT_EQ(prompt->pos(), QPoint(14, 30));
    EXPECT_EQ(prompt->text(), QStringLiteral("Overwrite"));
    EXPECT_EQ(prompt->width(), prompt->sizeHint().width());

    EXPECT_EQ(window.focusWidget(), Control(window, "cmdNo"));
    QStringList order;
    for (QWidget* w = window.nextInFocusChain(); w != &window; w = w->nextInFocusChain()) {
        if (w->focusPolicy() & Qt::TabFocus) {
            order << w->objectName();
        }
    }
    EXPECT_EQ(order, QStringList({"cmdNo", "cmdNoToAll", "cmdYesToAll", "cmdYes"}));

    const Qt::WindowFlags flags = window.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_FALSE(flags & (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowSystemMenuHint));
}

struct ButtonCase {
    const char* button;
    const char* answer;
};

TEST_F(frmMsgBoxOverwriteTest, EachButtonGivesItsWord) {
    const ButtonCase cases[] = {
        {"cmdYes", "yes"}, {"cmdNo", "no"}, {"cmdYesToAll", "yestoall"}, {"cmdNoToAll", "notoall"}};
    for (const ButtonCase& c : cases) {
        const std::string answer = AnswerWhile("a.txt", [&](frmMsgBoxOverwrite& window) {
            QTest::mouseClick(Control(window, c.button), Qt::LeftButton);
        });
        EXPECT_EQ(answer, c.answer) << c.button;
    }
}

struct KeyCase {
    const char* what;
    const char* focus;
    std::function<void(QWidget*)> press;
    const char* answer;
};

TEST_F(frmMsgBoxOverwriteTest, TypedYAndNAnswerWhateverHasTheFocusAndEnterSaysNo) {
    const KeyCase cases[] = {
        {"y on No", "cmdNo", [](QWidget* w) { QTest::keyClick(w, 'y'); }, "yes"},
        {"Y on No To All", "cmdNoToAll", [](QWidget* w) { QTest::keyClick(w, 'Y'); }, "yes"},
        {"n on Yes", "cmdYes", [](QWidget* w) { QTest::keyClick(w, 'n'); }, "no"},
        {"N on Yes To All", "cmdYesToAll", [](QWidget* w) { QTest::keyClick(w, 'N'); }, "no"},
        {"Enter", nullptr, [](QWidget* w) { QTest::keyClick(w, Qt::Key_Enter); }, "no"},
    };
    for (const KeyCase& c : cases) {
        const std::string answer = AnswerWhile("a.txt", [&](frmMsgBoxOverwrite& window) {
            if (c.focus != nullptr) {
                Control(window, c.focus)->setFocus();
            }
            c.press(window.focusWidget());
        });
        EXPECT_EQ(answer, c.answer) << c.what;
    }
}

TEST_F(frmMsgBoxOverwriteTest, EscapeAndOtherKeysLeaveTheQuestionOpen) {
    const std::string answer = AnswerWhile("a.txt", [](frmMsgBoxOverwrite& window) {
        QTest::keyClick(window.focusWidget(), Qt::Key_Escape);
        QTest::keyClick(&window, Qt::Key_Escape);
        for (char typed : {'a', 'x', '1'}) {
            QTest::keyClick(window.focusWidget(), typed);
        }
        EXPECT_TRUE(window.isVisible());
        EXPECT_EQ(window.OverwriteAnswer(), "");
        QTest::mouseClick(Control(window, "cmdYesToAll"), Qt::LeftButton);
    });
    EXPECT_EQ(answer, "yestoall");
}

TEST_F(frmMsgBoxOverwriteTest, ClosingWithoutAButtonAnswersNothingEvenAfterAnAnswer) {
    EXPECT_EQ(AnswerWhile("a.txt", [](frmMsgBoxOverwrite& window) { window.cmdYes_Click(); }), "yes");
    EXPECT_EQ(AnswerWhile("a.txt", [](frmMsgBoxOverwrite& window) { window.close(); }), "");
}

struct FitCase {
    int labelWidth; // logical pixels
    int outerWidth;
    int rowLeft;
};

TEST_F(frmMsgBoxOverwriteTest, WindowFollowsThePromptWidthWithAFloor) {
    const FitCase cases[] = {
        {0, 308, 12},      // the floor: 4620 twips, row at 180
        {273, 308, 12},    // 4615 twips, still the floor
        {274, 309, 12},    // 4630 twips, row at 185 twips
        {400, 435, 75},    // 6520 twips, row at 1130 twips
        {1000, 1035, 375}, // wider than the screen
        {10, 308, 12},     // and back
    };
    frmMsgBoxOverwrite window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* prompt = Control<QLabel>(window, "lblPrompt");
    QWidget* row = Control(window, "frameButtons");
    for (const FitCase& c : cases) {
        prompt->resize(c.labelWidth, prompt->height());
        window.Form_Resize();
        EXPECT_EQ(window.frameGeometry().width(), c.outerWidth) << c.labelWidth;
        EXPECT_EQ(window.height(), 105) << c.labelWidth;
        EXPECT_EQ(row->geometry(), QRect(c.rowLeft, 72, 278, 23)) << c.labelWidth;
        EXPECT_EQ(prompt->pos(), QPoint(14, 30)) << c.labelWidth;
    }
}

TEST_F(frmMsgBoxOverwriteTest, ShowsTheNameThroughDisplayTextCentredOnTheScreen) {
    const std::string answer = AnswerWhile("<b>a</b>\x01.txt", [](frmMsgBoxOverwrite& window) {
        const auto* prompt = Control<QLabel>(window, "lblPrompt");
        EXPECT_EQ(prompt->text(), QStringLiteral("Overwrite <b>a</b>\\u{0001}.txt?"));
        EXPECT_EQ(prompt->textFormat(), Qt::PlainText);
        const QPoint screenCentre = window.screen()->availableGeometry().center();
        EXPECT_NEAR(window.frameGeometry().center().x(), screenCentre.x(), 1);
        EXPECT_NEAR(window.frameGeometry().center().y(), screenCentre.y(), 1);
        window.cmdNoToAll_Click();
    });
    EXPECT_EQ(answer, "notoall");
}

TEST_F(frmMsgBoxOverwriteTest, LongNameWidensTheWindowAroundTheWholePrompt) {
    const std::string name(256, 'W');
    const std::string answer = AnswerWhile(name, [&](frmMsgBoxOverwrite& window) {
        const auto* prompt = Control<QLabel>(window, "lblPrompt");
        EXPECT_EQ(prompt->text().size(), 256 + 11);
        EXPECT_GE(prompt->width(), prompt->sizeHint().width());
        EXPECT_GT(prompt->width(), 1000);
        // 520 twips are 34.67 px.
        const int outer = window.frameGeometry().width();
        EXPECT_EQ(outer, prompt->width() + 35);
        const QRect row = Control(window, "frameButtons")->geometry();
        EXPECT_NEAR(row.center().x() + 3, outer / 2, 1) << "the row is centred 45 twips left";
        window.cmdYes_Click();
    });
    EXPECT_EQ(answer, "yes");
}

} // namespace
} // namespace brisko::ui
