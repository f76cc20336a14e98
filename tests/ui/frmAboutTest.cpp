// The about box: its texts on every showing, the two links and the OK button.
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <vector>

#include "support/QtApp.h"
#include "ui/frmAbout.h"

namespace brisko::ui {
namespace {

// The application has to exist before the fixture's windows.
struct WithApplication {
    WithApplication() { test::EnsureQApplication(); }
};

class frmAboutTest : public ::testing::Test, private WithApplication {
protected:
    std::vector<QUrl> m_opened;
    frmAbout m_about{nullptr, [this](const QUrl& url) {
                         m_opened.push_back(url);
                         return false; // as if no handler existed
                     }};

    template <typename T = QLabel> T* Control(const char* name) {
        auto* widget = m_about.findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
};

TEST_F(frmAboutTest, EveryShowingSetsTheSameTexts) {
    for (int showing = 0; showing < 2; ++showing) {
        m_about.show();
        EXPECT_EQ(m_about.windowTitle(), "About Brisko");
        EXPECT_EQ(Control("lblTitle")->text(), "Brisko");
        EXPECT_EQ(Control("lblVersion")->text(), "Version 1.3.188");
        EXPECT_EQ(Control<QPushButton>("cmdOK")->text(), "OK");
        EXPECT_FALSE(Control("lblDescription")->text().isEmpty());
        m_about.hide();
        // Whatever happened to the texts meanwhile, the next showing loads them again.
        Control("lblVersion")->clear();
        m_about.setWindowTitle(QString());
    }
}

TEST_F(frmAboutTest, LinksOpenTheirAddressesAndTheBoxStaysOpen) {
    struct Case {
        const char* label;
        const char* shownText;
        const char* url;
    };
    const Case cases[] = {
        {"lblEmail", "support@brisko.invalid", "mailto:support@brisko.invalid"},
        {"lblWebsite", "http://brisko.invalid/", "http://brisko.invalid/"},
    };
    m_about.show();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        QLabel* link = Control(c.label);
        EXPECT_EQ(link->text(), c.shownText);
        EXPECT_TRUE(link->font().underline());
        EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
        m_opened.clear();
        QTest::mouseClick(link, Qt::LeftButton);
        ASSERT_EQ(m_opened.size(), 1u);
        EXPECT_EQ(m_opened.front(), QUrl(QLatin1String(c.url)));
        EXPECT_TRUE(m_about.isVisible());
        // Pressed on the link but released beside it: no click.
        m_opened.clear();
        QTest::mousePress(link, Qt::LeftButton);
        QTest::mouseRelease(link, Qt::LeftButton, {}, QPoint(link->width() + 5, 1));
        EXPECT_TRUE(m_opened.empty());
    }
    // The other texts are no links.
    m_opened.clear();
    QTest::mouseClick(Control("lblTitle"), Qt::LeftButton);
    QTest::mouseClick(Control("lblDescription"), Qt::LeftButton);
    EXPECT_TRUE(m_opened.empty());
}

TEST_F(frmAboutTest, OkEndsTheBox) {
    m_about.show();
    QTest::mouseClick(Control<QPushButton>("cmdOK"), Qt::LeftButton);
    EXPECT_FALSE(m_about.isVisible());
    EXPECT_EQ(m_about.result(), QDialog::Accepted);
}

} // namespace
} // namespace brisko::ui
