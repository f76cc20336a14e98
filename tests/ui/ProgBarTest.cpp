// The progress bar, checked pixel by pixel on the image the window keeps.
// Faults this group exists to catch:
// - a wrong fill for a step (the percentage rule, rounding, the bar's maximum, counts past the end
//   or below zero, a maximum of 0) or a wrong text ("n of m" or "p%");
// - the text not centred, not inverted where the fill covers it, or in other colours;
// - the frame or its inner outline missing, or painted under the fill;
// - a changed bar not drawn because a call was taken for a repeat, or an old bar left showing;
// - the picture box not showing the bar last drawn.
#include <QLabel>
#include <QPainter>
#include <gtest/gtest.h>
#include <vector>

#include "support/QtApp.h"
#include "support/RecordingDialogs.h"
#include "ui/frmBriskoLite.h"

namespace brisko::ui {
namespace {

// The points of `image` within `area` whose colour (without alpha) `isInk` picks, moved so that their
// bounding box starts at (0, 0): two texts written in different places compare equal when they look
// the same. `box` gets where they lay.
template <typename Predicate>
std::vector<QPoint> InkOf(const QImage& image, const QRect& area, Predicate isInk, QRect* where = nullptr) {
    std::vector<QPoint> shape;
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (isInk(x, image.pixel(x, y) & 0xFFFFFFu)) {
                shape.emplace_back(x, y);
                box |= QRect(x, y, 1, 1);
            }
        }
    }
    for (QPoint& p : shape) {
        p -= box.topLeft();
    }
    if (where != nullptr) {
        *where = box;
    }
    return shape;
}

// The bar is 285 px wide, so x2 = 284 and a fill of p percent reaches column round(2.84 p); the
// frame takes the last two columns, so a full bar shows fill up to column 282. The steps run on one
// window in this order: repeats, changes of the text alone and returns to an earlier bar among them.
TEST(ProgBar, EachStepShowsItsTextCentredInvertedOverItsFillWithinTheFrame) {
    test::EnsureQApplication();
    records::ProcessState state;
    test::RecordingDialogs dialogs;
    engines::EngineAdapters adapters;
    frmBriskoLite window(state, dialogs, adapters, platform::TrashPlaces{"/nonexistent/Trash"});
    const QRgb fill = window.palette().color(QPalette::Active, QPalette::Highlight).rgb() & 0xFFFFFFu;
    const QRgb ink = window.palette().color(QPalette::Active, QPalette::WindowText).rgb() & 0xFFFFFFu;
    QFont font = window.font();
    font.setStyleStrategy(QFont::NoAntialias);
    const struct {
        long curr, max;
        bool percent;
        const char* text;
        int fillEnd; // last filled column of the inside, -1 for none
    } steps[] = {
        {0, 5, false, "0 of 5", -1}, {7, 5, false, "5 of 5", 282},  {5, 5, true, "100%", 282},
        {1, 3, false, "1 of 3", 97}, {1, 3, false, "1 of 3", 97},   {1, 3, true, "34%", 97},
        {2, 3, true, "67%", 190},    {1, 3, true, "34%", 97},       {5, 10, true, "50%", 142},
        {1, 2, true, "50%", 142},    {1, 2, false, "1 of 2", 142},  {1, 9, false, "1 of 9", 34},
        {1, 200, true, "1%", 3},     {-2, 5, false, "-2 of 5", -1}, {-2, 5, true, "0%", -1},
        {0, 0, true, "0%", -1},      {3, 0, false, "0 of 0", -1},   {-3, 0, false, "-3 of 0", -1},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::to_string(s.curr) + " of " + std::to_string(s.max) + (s.percent ? " %" : ""));
        window.ProgBar(s.curr, s.max, s.percent);
        const QImage image = window.progBarImage().copy();
        const QRect inside = image.rect().adjusted(2, 2, -2, -2); // within the frame and its inner outline
        QRect fillBox, textBox;
        const int fillEnd = InkOf(
                                image, inside, [&](int, QRgb c) { return c == fill; }, &fillBox)
                                    .empty()
                                ? -1
                                : fillBox.right();
        EXPECT_EQ(fillEnd, s.fillEnd);
        // Text pixels: white over the fill, the foreground colour beside it; compared with the text
        // written on its own in the window font, unsmoothed, black on white.
        const auto text = InkOf(
            image, inside, [&](int x, QRgb c) { return c == (x <= fillEnd ? 0xFFFFFFu : ink); }, &textBox);
        QImage sheet(400, 60, QImage::Format_RGB32);
        sheet.fill(Qt::white);
        QPainter painter(&sheet);
        painter.setFont(font);
        painter.drawText(QPoint(20, 40), QString::fromLatin1(s.text));
        painter.end();
        EXPECT_EQ(text, InkOf(sheet, sheet.rect(), [](int, QRgb c) { return c == 0; }))
            << "should read " << s.text;
        // Side bearings and the room kept for accents move the ink's centre by at most a pixel.
        EXPECT_NEAR(QRectF(textBox).center().x(), image.width() / 2.0, 1.0);
        EXPECT_NEAR(QRectF(textBox).center().y(), image.height() / 2.0, 1.0);
        // The frame: grey top and left, white right and bottom, a silver outline inside, over the fill.
        const int x2 = image.width() - 1, y2 = image.height() - 1;
        const QRgb corner = s.fillEnd >= 282 ? fill : 0xFFFFFFu;
        const std::pair<QRect, QRgb> lines[] = {{QRect(QPoint(0, 0), QPoint(x2, 0)), 0x808080},
                                                {QRect(QPoint(0, 0), QPoint(0, y2)), 0x808080},
                                                {QRect(QPoint(x2, 1), QPoint(x2, y2)), 0xFFFFFF},
                                                {QRect(QPoint(1, y2), QPoint(x2, y2)), 0xFFFFFF},
                                                {QRect(QPoint(1, 1), QPoint(x2 - 1, 1)), 0xC0C0C0},
                                                {QRect(QPoint(1, 1), QPoint(1, y2 - 1)), 0xC0C0C0},
                                                {QRect(QPoint(x2 - 1, 1), QPoint(x2 - 1, y2 - 1)), 0xC0C0C0},
                                                {QRect(QPoint(1, y2 - 1), QPoint(x2 - 1, y2 - 1)), 0xC0C0C0},
                                                {QRect(x2 - 2, y2 - 2, 1, 1), corner}};
        for (const auto& [line, colour] : lines) {
            EXPECT_TRUE(InkOf(image, line, [&](int, QRgb c) { return c != colour; }).empty())
                << "frame line at " << line.x() << "," << line.y();
        }
        frmBriskoLite fresh(state, dialogs, adapters, platform::TrashPlaces{"/nonexistent/Trash"});
        fresh.ProgBar(s.curr, s.max, s.percent);
        EXPECT_EQ(image, fresh.progBarImage()) << "a step drawn after others looks as when drawn alone";
        EXPECT_EQ(
            window.findChild<QLabel*>("picProgBar")->pixmap().toImage().convertToFormat(QImage::Format_RGB32),
            image);
    }
}

} // namespace
} // namespace brisko::ui
