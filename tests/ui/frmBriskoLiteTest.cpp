// The progress window: its controls, how it cancels and closes, the error list, and how names
// are made safe to show.
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#include "support/QtApp.h"
#include "support/RecordingDialogs.h"
#include "support/TempDir.h"
#include "ui/DisplayText.h"
#include "ui/frmBriskoLite.h"

namespace brisko::ui {
namespace {

using test::RecordingDialogs;

// Widgets need the application object before the fixture's window is built.
struct ApplicationFirst {
    ApplicationFirst() { test::EnsureQApplication(); }
};

class frmBriskoLiteTest : public ::testing::Test {
protected:
    template <typename T = QWidget> T* control(const char* name) {
        auto* widget = m_window.findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    void showAndWait() {
        m_window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
    }

    bool cancelRequested() const { return m_state.result.CancelRequested == records::kTrue; }

    ApplicationFirst m_application;
    test::TempDir m_temp;
    records::ProcessState m_state;
    RecordingDialogs m_dialogs;
    engines::EngineAdapters m_adapters; // none: every archive fails
    frmBriskoLite m_window{m_state, m_dialogs, m_adapters, platform::TrashPlaces{m_temp / "Trash"}};
};

struct ControlCase {
    const char* name;
    QRect geometry; // logical pixels: twips / 15
    const char* toolTip;
    bool shown;
};

TEST_F(frmBriskoLiteTest, ControlsHaveTheirPlacesTipsAndVisibility) {
    const ControlCase cases[] = {
        {"imgZIcon", {16, 14, 32, 42}, "", true},
        {"imgRIcon", {16, 14, 32, 42}, "", false},
        {"imgAIcon", {16, 14, 32, 42}, "", false},
        {"lblCurrentZipfile", {58, 26, 301, 16}, "Current Zip File", true},
        {"lblStatus", {12, 62, 612, 15}, "File Status", true},
        {"lblStatusBlocker", {362, 56, 73, 27}, "", true},
        {"lblTo", {11, 78, 16, 16}, "", true},
        {"lblToDir", {32, 78, 328, 16}, "Destination Directory", true},
        {"picProgBar", {10, 100, 285, 15}, "Progress Bar", true},
        {"cmdCancel", {302, 100, 61, 23}, "Cancel", true},
        {"lblErrors", {8, 128, 145, 17}, "", false},
        {"txtErrors", {8, 144, 361, 177}, "", false},
        {"lstDone", {152, 40, 83, 17}, "", false},
    };
    showAndWait();
    for (const ControlCase& c : cases) {
        const QWidget* widget = control(c.name);
        if (widget == nullptr) {
            continue;
        }
        EXPECT_EQ(widget->geometry(), c.geometry) << c.name;
        EXPECT_EQ(widget->toolTip(), QString::fromLatin1(c.toolTip)) << c.name;
        EXPECT_EQ(widget->isVisible(), c.shown) << c.name;
    }
    EXPECT_EQ(control<QLabel>("lblTo")->text(), QStringLiteral("To:"));
    EXPECT_EQ(control<QPushButton>("cmdCancel")->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(control<QLabel>("lblErrors")->text(), QStringLiteral("Files not extracted:"));
    EXPECT_FALSE(control<QLabel>("imgZIcon")->pixmap().isNull());
    for (const char* name : {"lblCurrentZipfile", "lblStatus", "lblToDir", "lblTo", "lblErrors"}) {
        EXPECT_EQ(control<QLabel>(name)->textFormat(), Qt::PlainText) << name;
    }
    const auto* errors = control<QPlainTextEdit>("txtErrors");
    EXPECT_TRUE(errors->isReadOnly());
    EXPECT_EQ(errors->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(errors->palette().color(QPalette::Base), m_window.palette().color(QPalette::Button));
}

TEST_F(frmBriskoLiteTest, IsAFixedDialogWithItsCaption) {
    EXPECT_EQ(m_window.windowTitle(), QStringLiteral("Briskoing..."));
    EXPECT_EQ(m_window.size(), QSize(377, 137));
    EXPECT_EQ(m_window.minimumSize(), m_window.maximumSize());
    const Qt::WindowFlags flags = m_window.windowFlags();
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
}

TEST_F(frmBriskoLiteTest, CancelIsFirstInTabOrderAndHasTheFocus) {
    showAndWait();
    QWidget* first = m_window.nextInFocusChain();
    while (first != &m_window && !(first->focusPolicy() & Qt::TabFocus)) {
        first = first->nextInFocusChain();
    }
    EXPECT_EQ(first, control("cmdCancel"));
    EXPECT_EQ(m_window.focusWidget(), control("cmdCancel"));
}

TEST_F(frmBriskoLiteTest, CancelSetsTheFlagAndStaysDisabled) {
    showAndWait();
    auto* cancel = control<QPushButton>("cmdCancel");
    QTest::mouseClick(cancel, Qt::LeftButton);
    EXPECT_TRUE(cancelRequested());
    EXPECT_FALSE(cancel->isEnabled());

    // Nothing the run does afterwards brings it back.
    m_state.result.CancelRequested = records::kFalse;
    m_window.ProgBar(1, 2, false);
    m_window.setStatus("next");
    m_window.addFailedArchive("/a.zip");
    QTest::keyClick(&m_window, Qt::Key_Escape);
    EXPECT_FALSE(cancel->isEnabled());
    EXPECT_FALSE(cancelRequested());
    EXPECT_TRUE(m_window.isVisible());
}

class KeyCases : public frmBriskoLiteTest, public ::testing::WithParamInterface<Qt::Key> {};

INSTANTIATE_TEST_SUITE_P(EscEnterReturn, KeyCases,
                         ::testing::Values(Qt::Key_Escape, Qt::Key_Enter, Qt::Key_Return),
                         [](const ::testing::TestParamInfo<Qt::Key>& info) {
                             return info.param == Qt::Key_Escape  ? "Escape"
                                    : info.param == Qt::Key_Enter ? "Enter"
                                                                  : "Return";
                         });

TEST_P(KeyCases, KeyActsAsCancelAndNeverClosesTheWindow) {
    showAndWait();
    QTest::keyClick(&m_window, GetParam());
    EXPECT_TRUE(cancelRequested());
    EXPECT_FALSE(control("cmdCancel")->isEnabled());
    EXPECT_TRUE(m_window.isVisible());

    QTest::keyClick(&m_window, GetParam());
    EXPECT_TRUE(m_window.isVisible());
}

TEST_F(frmBriskoLiteTest, FailuresShowTheListOneLineEachAndGrowTheWindowOnce) {
    showAndWait();
    const int width = m_window.width();
    m_window.addFailedArchive("/in/one.zip");
    QCoreApplication::processEvents();
    EXPECT_TRUE(control("lblErrors")->isVisible());
    EXPECT_TRUE(control("txtErrors")->isVisible());
    EXPECT_EQ(m_window.frameGeometry().height(), 362);
    EXPECT_EQ(m_window.width(), width);

    m_window.addFailedArchive("/in/two\nlines.rar");
    QCoreApplication::processEvents();
    EXPECT_EQ(m_window.frameGeometry().height(), 362);
    EXPECT_EQ(m_window.width(), width);
    const QPlainTextEdit* errors = control<QPlainTextEdit>("txtErrors");
    EXPECT_EQ(errors->toPlainText(), QStringLiteral("/in/one.zip\n/in/two\\u{000A}lines.rar\n"));
    EXPECT_EQ(errors->document()->blockCount(), 3); // two names and the empty line after them
}

TEST_F(frmBriskoLiteTest, StatusBlockerHidesTheRightEndOfTheStatusLine) {
    showAndWait();
    QWidget* status = control("lblStatus");
    QWidget* blocker = control("lblStatusBlocker");
    const QObjectList& stack = m_window.children();
    EXPECT_GT(stack.indexOf(blocker), stack.indexOf(status)) << "the blocker must lie above the status line";
    EXPECT_EQ(m_window.childAt(361, 70), status);
    EXPECT_EQ(m_window.childAt(362, 70), blocker);

    // The status line's text reaches past x = 362, yet none of it shows there.
    const QImage label = status->grab().toImage();
    const QRgb background = m_window.palette().color(QPalette::Window).rgb();
    auto inkInColumns = [&](const QImage& image, int from, int to, int top, int bottom) {
        for (int y = top; y < bottom; ++y) {
            for (int x = from; x < to; ++x) {
                if (image.pixel(x, y) != background) {
                    return true;
                }
            }
        }
        return false;
    };
    ASSERT_TRUE(inkInColumns(label, 362 - 12, label.width(), 0, label.height()));
    const QImage window = m_window.grab().toImage();
    EXPECT_TRUE(inkInColumns(window, 12, 362, 62, 77));
    EXPECT_FALSE(inkInColumns(window, 362, 377, 62, 77));
}

struct IconCase {
    const char* kind;
    bool z, r, a;
};

TEST_F(frmBriskoLiteTest, ExactlyTheIconOfTheKindIsShown) {
    const IconCase cases[] = {
        {"RAR", false, true, false},
        {"ACE", false, false, true},
        {"ZIP", true, false, false},
        {"ACE", false, false, true}, // from another icon back to one shown before
    };
    showAndWait();
    for (const IconCase& c : cases) {
        m_window.showKindIcon(c.kind);
        EXPECT_EQ(control("imgZIcon")->isVisible(), c.z) << c.kind;
        EXPECT_EQ(control("imgRIcon")->isVisible(), c.r) << c.kind;
        EXPECT_EQ(control("imgAIcon")->isVisible(), c.a) << c.kind;
    }
}

TEST_F(frmBriskoLiteTest, EveryNameShownPassesThroughDisplayText) {
    const std::string hostile = "evil\xE2\x80\xAEpiz.exe\xFF";
    const QString shown = QStringLiteral("evil\\u{202E}piz.exe\\xFF");
    m_window.setCurrentZipfile(hostile);
    m_window.setStatus(hostile);
    m_window.setToDir(hostile);
    m_window.addFailedArchive(hostile);
    m_window.appendDone(hostile);
    EXPECT_EQ(control<QLabel>("lblCurrentZipfile")->text(), shown);
    EXPECT_EQ(control<QLabel>("lblStatus")->text(), shown);
    EXPECT_EQ(control<QLabel>("lblToDir")->text(), shown);
    EXPECT_EQ(control<QPlainTextEdit>("txtErrors")->toPlainText(), shown + QLatin1Char('\n'));
    const auto* done = control<QListWidget>("lstDone");
    ASSERT_EQ(done->count(), 1);
    EXPECT_EQ(done->item(0)->text(), shown);
    EXPECT_FALSE(done->isVisible());
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        count += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

TEST_F(frmBriskoLiteTest, AFloodOfEntriesIsPaintedRarelyAndEndsOnTheLastStatus) {
    showAndWait();
    m_window.processEvents();
    PaintCounter paints(control("lblStatus"));
    constexpr int kEntries = 2000;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kEntries; ++i) {
        m_window.setStatus("Extracting: entry" + std::to_string(i));
        m_window.processEvents();
    }
    // A repaint for every entry made small archives slow; one per few hundredths of a second is plenty.
    EXPECT_LT(paints.count, kEntries / 10);
    EXPECT_LE(paints.count, clock.elapsed() / 20 + 2) << "in " << clock.elapsed() << " ms";

    // Once the interval is over, the next call paints what the engine said last.
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    const int before = paints.count;
    m_window.processEvents();
    EXPECT_GT(paints.count, before);
    EXPECT_EQ(control<QLabel>("lblStatus")->text(), QStringLiteral("Extracting: entry1999"));
}

TEST_F(frmBriskoLiteTest, CancelStillArrivesWhileEntriesFlood) {
    showAndWait();
    m_window.processEvents();
    // Posted, not sent: it waits in the queue until the window lets events run.
    QCoreApplication::postEvent(&m_window, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    QElapsedTimer clock;
    clock.start();
    while (!cancelRequested() && clock.elapsed() < 2000) {
        m_window.setStatus("Extracting: one more");
        m_window.processEvents();
    }
    EXPECT_TRUE(cancelRequested());
    EXPECT_LT(clock.elapsed(), 500);
}

struct TextCase {
    const char* what;
    std::string_view utf8;
    const char16_t* shown;
};

using namespace std::string_view_literals;

TEST(DisplayTextTest, EscapesWhatCouldHideOrReorderAName) {
    const TextCase cases[] = {
        {"plain", "dir/file name.zip", u"dir/file name.zip"},
        {"accents and markup", "caf\xC3\xA9 <b>&amp;", u"caf\u00E9 <b>&amp;"},
        {"four-byte character", "\xF0\x9F\x98\x80.rar", u"\U0001F600.rar"},
        {"stray byte", "a\xFF-b", u"a\\xFF-b"},
        {"truncated sequence, next character kept", "\xE2\x82-", u"\\xE2\\x82-"},
        {"truncated at the end", "x\xF0\x9F\x98", u"x\\xF0\\x9F\\x98"},
        {"overlong slash", "\xC0\xAF", u"\\xC0\\xAF"},
        {"surrogate", "\xED\xA0\x80", u"\\xED\\xA0\\x80"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\\xF4\\x90\\x80\\x80"},
        {"NUL", "a\0b"sv, u"a\\u{0000}b"},
        {"line feed and carriage return", "a\r\nb", u"a\\u{000D}\\u{000A}b"},
        {"tab and escape", "\t\x1B", u"\\u{0009}\\u{001B}"},
        {"C1 next line", "\xC2\x85", u"\\u{0085}"},
        {"no-break space stays", "\xC2\xA0", u"\u00A0"},
        {"right-to-left override", "evil\xE2\x80\xAEgpj.zip", u"evil\\u{202E}gpj.zip"},
        {"isolates", "\xE2\x81\xA6\xE2\x81\xA9", u"\\u{2066}\\u{2069}"},
        {"marks", "\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C", u"\\u{200E}\\u{200F}\\u{061C}"},
        {"line and paragraph separators", "\xE2\x80\xA8\xE2\x80\xA9", u"\\u{2028}\\u{2029}"},
        {"zero width joiner stays", "\xE2\x80\x8D", u"\u200D"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(DisplayText(c.utf8), QString::fromUtf16(c.shown)) << c.what;
    }
}

} // namespace
} // namespace brisko::ui
