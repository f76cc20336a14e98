// The overwrite question: the answer each button gives, what leaves it open, and how a name is
// shown. (Its keys are answered on a real display by a journey.)
// Faults this group exists to catch:
// - a button giving another answer, or No not the default button with the focus;
// - Escape or another key answering, or the close box giving the answer of an earlier showing;
// - a name shown as markup or with control characters.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

#include "support/QtApp.h"
#include "ui/frmMsgBoxOverwrite.h"

namespace brisko::ui {
namespace {

// Asks about `name` through QtOverwritePrompt and runs `act` on the window once it is shown and
// active. A window still open after some seconds is hidden, so a broken case fails rather than hangs.
std::string AnswerWhile(const std::string& name, const std::function<void(frmMsgBoxOverwrite&)>& act) {
    test::EnsureQApplication();
    QTimer::singleShot(5000, [] {
        if (QWidget* open = QApplication::activeModalWidget()) {
            ADD_FAILURE() << "the window was still open";
            open->hide(); // ends the showing even when closing is refused
        }
    });
    QTimer::singleShot(0, [&] {
        auto* window = qobject_cast<frmMsgBoxOverwrite*>(QApplication::activeModalWidget());
        ASSERT_NE(window, nullptr) << "no modal window";
        EXPECT_TRUE(QTest::qWaitForWindowActive(window));
        act(*window);
    });
    return QtOverwritePrompt().OverwriteAnswer(name);
}

QWidget* Control(const QWidget& window, const char* name) {
    return window.findChild<QWidget*>(QLatin1String(name));
}

TEST(frmMsgBoxOverwrite, ButtonsGiveTheirWordsAndNothingElseAnswers) {
    for (const auto& [button, word] : {std::pair{"cmdYes", "yes"},
                                       {"cmdNo", "no"},
                                       {"cmdYesToAll", "yestoall"},
                                       {"cmdNoToAll", "notoall"}}) {
        EXPECT_EQ(AnswerWhile("a.txt",
                              [&](frmMsgBoxOverwrite& window) {
                                  EXPECT_EQ(window.focusWidget(), Control(window, "cmdNo"));
                                  EXPECT_TRUE(
                                      static_cast<QPushButton*>(Control(window, "cmdNo"))->isDefault());
                                  QTest::mouseClick(Control(window, button), Qt::LeftButton);
                              }),
                  word);
    }
    EXPECT_EQ(AnswerWhile("<b>a</b>\x01.txt",
                          [](frmMsgBoxOverwrite& window) {
                              QTest::keyClick(&window, Qt::Key_Escape);
                              for (char typed : {'a', 'x', '1'}) {
                                  QTest::keyClick(window.focusWidget(), typed);
                              }
                              EXPECT_TRUE(window.isVisible());
                              const auto* prompt = static_cast<QLabel*>(Control(window, "lblPrompt"));
                              EXPECT_EQ(prompt->text(), "Overwrite <b>a</b>\\u{0001}.txt?");
                              EXPECT_EQ(prompt->textFormat(), Qt::PlainText);
                              window.close();
                          }),
              "")
        << "closing without a button answers nothing, even after an earlier answer";
}

} // namespace
} // namespace brisko::ui
