// The tip window: what members do before Create, one tool per control, the header, delay types,
// margins, the width rule, and the tip popping up and down over a control.
#include <QApplication>
#include <QEnterEvent>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "support/QtApp.h"
#include "ui/clsToolTip.h"

namespace brisko::ui {
namespace {

// The application must exist before the fixture's widgets are built.
struct WithApplication {
    WithApplication() { test::EnsureQApplication(); }
};

struct ToolTipTest : ::testing::Test, WithApplication {
    ToolTipTest() {
        frm.resize(200, 100);
        ctrl = new QPushButton(QStringLiteral("a"), &frm);
        other = new QPushButton(QStringLiteral("b"), &frm);
    }
    QLabel* Tip() const { return qobject_cast<QLabel*>(tip.hWnd()); }
    QWidget frm;
    QPushButton* ctrl;
    QPushButton* other;
    clsToolTip tip;
};

TEST_F(ToolTipTest, MembersBeforeCreateDoNothingButTheHeaderFieldsWork) {
    EXPECT_FALSE(tip.AddTool(ctrl, QStringLiteral("x")));
    tip.BackColor(0x123456);
    tip.DelayTime(clsToolTip::TTDT_INITIAL, 77);
    tip.Margin(0, 9);
    tip.MaxTipWidth(240);
    for (std::int32_t got :
         {tip.ToolCount(), tip.DelayTime(3), tip.Margin(0), tip.MaxTipWidth(),
          static_cast<std::int32_t>(tip.BackColor()), static_cast<std::int32_t>(tip.ForeColor())}) {
        EXPECT_EQ(got, 0);
    }
    EXPECT_FALSE(tip.HasToolTip(ctrl));
    EXPECT_EQ(tip.hWnd(), nullptr);
    tip.ToolTipHeader(QStringLiteral("H"));
    EXPECT_EQ(tip.ToolTipHeader(), QStringLiteral("H"));
    EXPECT_TRUE(tip.ToolTipHeaderShow());
    // Nothing set before Create survives into the created window.
    ASSERT_TRUE(tip.Create(&frm));
    EXPECT_NE(tip.DelayTime(3), 77);
    EXPECT_EQ(tip.Margin(0), 0);
    EXPECT_EQ(tip.MaxTipWidth(), 65535);
    clsToolTip hostless;
    EXPECT_FALSE(hostless.Create(nullptr));
    EXPECT_FALSE(hostless.AddTool(ctrl));
}

TEST_F(ToolTipTest, OneToolPerControlAndToolTextNeverAdds) {
    ASSERT_TRUE(tip.Create(&frm));
    QWidget* window = tip.hWnd();
    EXPECT_TRUE(tip.Create(&frm));
    EXPECT_EQ(tip.hWnd(), window);
    EXPECT_FALSE(tip.AddTool(nullptr, QStringLiteral("x")));
    EXPECT_TRUE(tip.AddTool(ctrl, QStringLiteral("first")));
    EXPECT_FALSE(tip.AddTool(ctrl, QStringLiteral("second")));
    EXPECT_EQ(tip.ToolText(ctrl), QStringLiteral("first"));
    tip.ToolText(other, QStringLiteral("never added"));
    EXPECT_FALSE(tip.HasToolTip(other));
    EXPECT_EQ(tip.ToolCount(), 1);
    EXPECT_TRUE(tip.AddTool(other));
    tip.ToolText(other, QStringLiteral("later"));
    EXPECT_EQ(tip.ToolText(other), QStringLiteral("later"));
    EXPECT_EQ(tip.ToolCount(), 2);
    tip.ToolText(other, QString());
    EXPECT_FALSE(tip.HasToolTip(other));
    EXPECT_TRUE(tip.RemoveTool(ctrl));
    EXPECT_FALSE(tip.RemoveTool(ctrl));
    EXPECT_EQ(tip.ToolCount(), 0);
    EXPECT_TRUE(tip.AddTool(ctrl));
    delete ctrl;
    EXPECT_EQ(tip.ToolCount(), 0);
}

TEST_F(ToolTipTest, HeaderGoesInFrontOfLaterTextsOnly) {
    ASSERT_TRUE(tip.Create(&frm));
    tip.AddTool(other, QStringLiteral("before"));
    struct Case {
        const char* header;
        bool show;
        const char* expected;
    };
    for (const Case& c :
         {Case{"", true, "abc"}, Case{"Head", true, "Head\r\nabc"}, Case{"Head", false, "abc"}}) {
        tip.ToolTipHeader(QString::fromLatin1(c.header));
        tip.ToolTipHeaderShow(c.show);
        tip.RemoveTool(ctrl);
        tip.AddTool(ctrl, QStringLiteral("abc"));
        EXPECT_EQ(tip.ToolText(ctrl), QString::fromLatin1(c.expected)) << c.header << c.show;
        tip.ToolText(ctrl, QStringLiteral("abc"));
        EXPECT_EQ(tip.ToolText(ctrl), QString::fromLatin1(c.expected)) << c.header << c.show;
    }
    EXPECT_EQ(tip.ToolText(other), QStringLiteral("before"));
}

TEST_F(ToolTipTest, DelayTypesUseTheTwoLowBitsAndMarginsTheirOwnIndex) {
    ASSERT_TRUE(tip.Create(&frm));
    struct Case {
        std::uint32_t type;
        std::int32_t reshow, autopop, initial;
    };
    for (const Case& c :
         {Case{6, 1, 400, 3}, Case{5, 400, 2, 3}, Case{7, 1, 2, 400}, Case{4, 80, 4000, 400}}) {
        for (std::uint32_t type : {1u, 2u, 3u}) {
            tip.DelayTime(type, static_cast<std::int32_t>(type));
        }
        tip.DelayTime(c.type, 400);
        EXPECT_EQ(tip.DelayTime(1), c.reshow) << c.type;
        EXPECT_EQ(tip.DelayTime(2), c.autopop) << c.type;
        EXPECT_EQ(tip.DelayTime(3), c.initial) << c.type;
    }
    tip.Margin(2, 7);
    tip.Margin(5, 9);
    EXPECT_EQ(tip.Margin(2), 7);
    for (std::uint32_t type : {0u, 1u, 3u, 5u}) {
        EXPECT_EQ(tip.Margin(type), 0) << type;
    }
    EXPECT_EQ(tip.hWnd()->contentsMargins().right() - tip.hWnd()->contentsMargins().left(), 7);
    tip.MaxTipWidth(240);
    EXPECT_EQ(tip.MaxTipWidth(), 240);
}

TEST_F(ToolTipTest, HoveringShowsTheTipWithItsLineBreaksThenLeavingHidesIt) {
    ASSERT_TRUE(tip.Create(&frm));
    frm.show();
    tip.DelayTime(clsToolTip::TTDT_AUTOMATIC, 40);
    tip.BackColor(0x0000FF);
    tip.AddTool(ctrl, QStringLiteral("one\r\ntwo\r\nthree\r\nfour"));
    auto hover = [&](QWidget* w) {
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(w->mapToGlobal(QPoint(5, 5))));
        QApplication::sendEvent(w, &enter);
    };
    hover(ctrl);
    EXPECT_FALSE(Tip()->isVisible());
    QTest::qWait(120);
    ASSERT_TRUE(Tip()->isVisible());
    EXPECT_EQ(Tip()->text(), QStringLiteral("one two three four")); // one line until a width is set
    EXPECT_EQ(Tip()->palette().color(QPalette::Window), QColor(255, 0, 0));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(ctrl, &leave);
    EXPECT_FALSE(Tip()->isVisible());
    tip.MaxTipWidth(1);
    tip.DelayTime(clsToolTip::TTDT_INITIAL, 1000);
    hover(ctrl); // just left a showing tip: the short reshow delay applies
    QTest::qWait(120);
    ASSERT_TRUE(Tip()->isVisible());
    EXPECT_EQ(Tip()->text(), QStringLiteral("one\ntwo\nthree\nfour"));
    QTest::qWait(500); // the auto-pop delay, ten times 40 ms
    EXPECT_FALSE(Tip()->isVisible());
}

} // namespace
} // namespace brisko::ui
