// The progress bar, checked pixel by pixel on the image the window keeps.
#include <QLabel>
#include <QPainter>
#include <QTest>
#include <gtest/gtest.h>
#include <set>
#include <vector>

#include "support/QtApp.h"
#include "support/RecordingDialogs.h"
#include "ui/frmBriskoLite.h"

namespace brisko::ui {
namespace {

using NoDialogs = test::RecordingDialogs;

QRgb Rgb(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFFu;
}

QRgb Rgb(const QColor& colour) {
    return colour.rgb() & 0xFFFFFFu;
}

constexpr QRgb kWhite = 0xFFFFFF;

template <typename Visit> void ForEachPixel(const QRect& area, Visit visit) {
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            visit(x, y);
        }
    }
}

// The pixels of an area that a test picks: where they lie, and their shape (the same points moved
// so that the bounding box starts at (0, 0)), so that two texts written in different places compare
// equal when they look the same.
struct Ink {
    QRect box;
    std::vector<QPoint> shape;
};

template <typename Predicate> Ink InkOf(const QRect& area, Predicate isInk) {
    Ink ink;
    ForEachPixel(area, [&](int x, int y) {
        if (isInk(x, y)) {
            ink.shape.emplace_back(x, y);
            ink.box |= QRect(x, y, 1, 1);
        }
    });
    for (QPoint& p : ink.shape) {
        p -= ink.box.topLeft();
    }
    return ink;
}

// Widgets need the application object before the fixture's window is built.
struct ApplicationFirst {
    ApplicationFirst() { test::EnsureQApplication(); }
};

class ProgBarTest : public ::testing::Test {
protected:
    QRgb highlight() const { return Rgb(m_window.palette().color(QPalette::Active, QPalette::Highlight)); }
    QRgb foreground() const { return Rgb(m_window.palette().color(QPalette::Active, QPalette::WindowText)); }

    const QImage& draw(long curr, long max, bool percent) {
        m_window.ProgBar(curr, max, percent);
        return m_window.progBarImage();
    }

    // The inside of the bar, where neither the frame nor the inner outline lies.
    static QRect interior(const QImage& image) { return image.rect().adjusted(2, 2, -2, -2); }

    // The right-most column of the inside that holds a fill pixel, or -1.
    int lastFilledColumn(const QImage& image) const {
        int last = -1;
        ForEachPixel(interior(image), [&](int x, int y) {
            if (Rgb(image, x, y) == highlight()) {
                last = std::max(last, x);
            }
        });
        return last;
    }

    // Text pixels: white over the fill, the foreground colour beside it.
    Ink textInk(const QImage& image) const {
        const int fillEnd = lastFilledColumn(image);
        return InkOf(interior(image), [&](int x, int y) {
            return Rgb(image, x, y) == (x <= fillEnd ? kWhite : foreground());
        });
    }

    // The same text written on its own in the window font, unsmoothed, black on white.
    std::vector<QPoint> referenceShape(const QString& text) const {
        QImage sheet(400, 60, QImage::Format_RGB32);
        sheet.fill(Qt::white);
        QPainter painter(&sheet);
        QFont font = m_window.font();
        font.setStyleStrategy(QFont::NoAntialias);
        painter.setFont(font);
        painter.drawText(QPoint(20, 40), text);
        painter.end();
        return InkOf(sheet.rect(), [&](int x, int y) { return Rgb(sheet, x, y) == 0; }).shape;
    }

    ApplicationFirst m_application;
    records::ProcessState m_state;
    NoDialogs m_dialogs;
    engines::EngineAdapters m_adapters;
    frmBriskoLite m_window{m_state, m_dialogs, m_adapters, platform::TrashPlaces{"/nonexistent/Trash"}};
};

struct BarCase {
    long curr;
    long max;
    bool percent;
    const char* text;
    int fillEnd; // last filled column of the inside, -1 for none
};

void PrintTo(const BarCase& c, std::ostream* out) {
    *out << "ProgBar(" << c.curr << ", " << c.max << ", " << (c.percent ? "percent" : "count") << ")";
}

class ProgBarCases : public ProgBarTest, public ::testing::WithParamInterface<BarCase> {};

// The bar is 285 px wide, so x2 = 284 and a fill of p percent reaches column round(2.84 p); the
// frame takes the last two columns, so a full bar shows fill up to column 282.
INSTANTIATE_TEST_SUITE_P(, ProgBarCases,
                         ::testing::Values(BarCase{0, 5, false, "0 of 5", -1},
                                           BarCase{7, 5, false, "5 of 5", 282},
                                           BarCase{5, 5, true, "100%", 282}, BarCase{1, 3, true, "34%", 97},
                                           BarCase{2, 3, true, "67%", 190}, BarCase{1, 200, true, "1%", 3},
                                           BarCase{-2, 5, false, "-2 of 5", -1},
                                           BarCase{-2, 5, true, "0%", -1}, BarCase{0, 0, true, "0%", -1},
                                           BarCase{3, 0, false, "0 of 0", -1},
                                           BarCase{-3, 0, false, "-3 of 0", -1}));

TEST_P(ProgBarCases, ShowsTextAndFill) {
    const BarCase& c = GetParam();
    const QImage& image = draw(c.curr, c.max, c.percent);
    EXPECT_EQ(lastFilledColumn(image), c.fillEnd);
    EXPECT_EQ(textInk(image).shape, referenceShape(QString::fromLatin1(c.text)))
        << "the bar should read " << c.text;
}

TEST_P(ProgBarCases, TextIsCentredInTheWholeBox) {
    const BarCase& c = GetParam();
    const QImage& image = draw(c.curr, c.max, c.percent);
    const QRectF box = textInk(image).box;
    ASSERT_FALSE(box.isEmpty());
    // Side bearings and the room kept for accents move the ink's centre by at most a pixel.
    const QPointF inkCentre = box.center();
    EXPECT_NEAR(inkCentre.x(), image.width() / 2.0, 1.0);
    EXPECT_NEAR(inkCentre.y(), image.height() / 2.0, 1.0);
}

TEST_F(ProgBarTest, FillInvertsTheTextItCovers) {
    // "50%" straddles the end of the fill, which lies in the middle of the bar.
    const QImage& image = draw(1, 2, true);
    const int fillEnd = lastFilledColumn(image);
    ASSERT_EQ(fillEnd, 142);
    std::set<QRgb> over, beside;
    const QRect inside = interior(image);
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            (x <= fillEnd ? over : beside).insert(Rgb(image, x, y));
        }
    }
    EXPECT_EQ(over, (std::set<QRgb>{highlight(), kWhite}));
    EXPECT_EQ(beside, (std::set<QRgb>{kWhite, foreground()}));
}

class FrameCases : public ProgBarTest, public ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(EmptyAndFull, FrameCases, ::testing::Bool());

// Boxes on the bar include both corner pixels, as QRect(QPoint, QPoint) does.
TEST_P(FrameCases, FrameIsDrawnOverTheFill) {
    const bool full = GetParam();
    const QImage& image = full ? draw(9, 9, false) : draw(0, 9, false);
    const int x2 = image.width() - 1;
    const int y2 = image.height() - 1;
    const struct {
        const char* line;
        QRect pixels;
        QRgb colour;
    } lines[] = {
        {"top", QRect(QPoint(0, 0), QPoint(x2, 0)), 0x808080},
        {"left", QRect(QPoint(0, 0), QPoint(0, y2)), 0x808080},
        {"right", QRect(QPoint(x2, 1), QPoint(x2, y2)), kWhite},
        {"bottom", QRect(QPoint(1, y2), QPoint(x2, y2)), kWhite},
        {"outline top", QRect(QPoint(1, 1), QPoint(x2 - 1, 1)), 0xC0C0C0},
        {"outline left", QRect(QPoint(1, 1), QPoint(1, y2 - 1)), 0xC0C0C0},
        {"outline right", QRect(QPoint(x2 - 1, 1), QPoint(x2 - 1, y2 - 1)), 0xC0C0C0},
        {"outline bottom", QRect(QPoint(1, y2 - 1), QPoint(x2 - 1, y2 - 1)), 0xC0C0C0},
        {"inside corners", QRect(QPoint(2, 2), QPoint(2, 2)), full ? highlight() : kWhite},
        {"inside corners", QRect(QPoint(x2 - 2, y2 - 2), QPoint(x2 - 2, y2 - 2)),
         full ? highlight() : kWhite},
    };
    for (const auto& l : lines) {
        const Ink wrong = InkOf(l.pixels, [&](int x, int y) { return Rgb(image, x, y) != l.colour; });
        EXPECT_TRUE(wrong.box.isEmpty())
            << l.line << ": another colour within " << wrong.box.x() << "," << wrong.box.y() << " "
            << wrong.box.width() << "x" << wrong.box.height();
    }
}

TEST_F(ProgBarTest, RedrawReplacesTheOldBar) {
    draw(9, 9, false);
    const QImage& image = draw(1, 9, false);
    EXPECT_EQ(lastFilledColumn(image), 34); // 1 of 9 is 12 %: round(2.84 * 12)
    EXPECT_EQ(textInk(image).shape, referenceShape(QStringLiteral("1 of 9")));
}

// A call that would draw what the bar already shows is skipped; one that changes only the text, only
// the fill or goes back to an earlier state must still draw.
TEST_F(ProgBarTest, EveryChangeIsDrawnEvenWhenRepeatedCallsAreSkipped) {
    struct Step {
        long curr, max;
        bool percent;
    };
    const Step steps[] = {
        {1, 3, false}, {1, 3, false}, {1, 3, true}, {1, 3, true}, {2, 3, true},
        {1, 3, true},  {5, 10, true}, {1, 2, true}, {1, 2, false}, {3, 3, false},
    };
    for (const Step& step : steps) {
        const QImage image = draw(step.curr, step.max, step.percent).copy();
        records::ProcessState state;
        NoDialogs dialogs;
        engines::EngineAdapters adapters;
        frmBriskoLite fresh(state, dialogs, adapters, platform::TrashPlaces{"/nonexistent/Trash"});
        fresh.ProgBar(step.curr, step.max, step.percent);
        EXPECT_EQ(image, fresh.progBarImage()) << step.curr << " of " << step.max << (step.percent ? " %" : "");
        auto* box = m_window.findChild<QLabel*>(QStringLiteral("picProgBar"));
        EXPECT_EQ(box->pixmap().toImage().convertToFormat(QImage::Format_RGB32), image) << step.curr;
    }
}

TEST_F(ProgBarTest, PictureBoxKeepsTheBarThroughRepaints) {
    auto* box = m_window.findChild<QLabel*>(QStringLiteral("picProgBar"));
    ASSERT_NE(box, nullptr);
    m_window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
    const QImage drawn = draw(1, 3, true).copy();
    EXPECT_EQ(drawn.size(), box->size());
    EXPECT_EQ(drawn.format(), QImage::Format_RGB32);

    m_window.hide();
    m_window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
    box->update();
    m_window.repaint();
    QCoreApplication::processEvents();

    const QImage onScreen = box->grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(onScreen, drawn);
}

} // namespace
} // namespace brisko::ui
