// The progress window: how it cancels, how names are made safe to show, and how often it repaints.
// Faults this group exists to catch:
// - Cancel without the focus; Cancel, Escape, Enter or Return not cancelling, the button enabled
//   again, or a key closing the window;
// - a name shown without passing through DisplayText or as markup; DisplayText letting a control character,
//   bidirectional override, invalid UTF-8 or line separator through, or escaping harmless text;
// - a repaint for every entry, the last status not painted, or Cancel not arriving while entries flood;
// - a prompt opening over lines that still name the archive or entry before.
#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <thread>

#include "support/QtApp.h"
#include "support/RecordingDialogs.h"
#include "support/TempDir.h"
#include "ui/DisplayText.h"
#include "ui/QtDialogs.h"
#include "ui/frmBriskoLite.h"

namespace brisko::ui {
namespace {

class frmBriskoLiteTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
    }
    template <typename T = QLabel> T* control(const char* name) { return m_window.findChild<T*>(name); }
    bool cancelRequested() const { return m_state.result.CancelRequested == records::kTrue; }

    const bool m_application = (test::EnsureQApplication(), true); // before any widget
    test::TempDir m_temp;
    records::ProcessState m_state;
    test::RecordingDialogs m_dialogs;
    engines::EngineAdapters m_adapters; // none: every archive fails
    frmBriskoLite m_window{m_state, m_dialogs, m_adapters, platform::TrashPlaces{m_temp / "Trash"}};
};

TEST_F(frmBriskoLiteTest, CancelButtonAndKeysCancelOnceAndNeverCloseTheWindow) {
    for (const int key : {0, int(Qt::Key_Escape), int(Qt::Key_Enter), int(Qt::Key_Return)}) { // 0: a click
        SCOPED_TRACE(key);
        records::ProcessState state;
        frmBriskoLite window(state, m_dialogs, m_adapters, platform::TrashPlaces{m_temp / "Trash"});
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        auto* button = window.findChild<QPushButton*>("cmdCancel");
        EXPECT_EQ(window.focusWidget(), button) << "the keys go to Cancel";
        const auto cancel = [&](frmBriskoLite& w) {
            key == 0 ? QTest::mouseClick(button, Qt::LeftButton) : QTest::keyClick(&w, Qt::Key(key));
        };
        cancel(window);
        EXPECT_EQ(state.result.CancelRequested, records::kTrue);
        EXPECT_FALSE(button->isEnabled());
        // Nothing the run does afterwards brings the button back, and pressing again neither cancels nor
        // closes.
        state.result.CancelRequested = records::kFalse;
        window.ProgBar(1, 2, false);
        window.setStatus("next");
        window.addFailedArchive("/a.zip");
        cancel(window);
        EXPECT_FALSE(button->isEnabled());
        EXPECT_EQ(state.result.CancelRequested, records::kFalse);
        EXPECT_TRUE(window.isVisible());
    }
}

TEST_F(frmBriskoLiteTest, EveryNamePassesThroughDisplayTextIntoPlainText) {
    const std::string hostile = "evil\xE2\x80\xAEpiz.exe\xFF";
    const QString shown = QStringLiteral("evil\\u{202E}piz.exe\\xFF");
    m_window.setCurrentZipfile(hostile);
    m_window.setStatus(hostile);
    m_window.setToDir(hostile);
    m_window.addFailedArchive(hostile);
    m_window.appendDone(hostile);
    m_window.processEvents(); // the first call since the window opened puts everything set on it
    for (const char* label : {"lblCurrentZipfile", "lblStatus", "lblToDir"}) {
        EXPECT_EQ(control(label)->text(), shown) << label;
        EXPECT_EQ(control(label)->textFormat(), Qt::PlainText) << label;
    }
    EXPECT_EQ(control<QPlainTextEdit>("txtErrors")->toPlainText(), shown + QLatin1Char('\n'));
    EXPECT_EQ(control<QListWidget>("lstDone")->item(0)->text(), shown);
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        return count += event->type() == QEvent::Paint, false;
    }
};

TEST_F(frmBriskoLiteTest, AFloodOfEntriesIsPaintedRarelyYetCancelStillArrives) {
    m_window.processEvents();
    PaintCounter paints(control("lblStatus"));
    for (int i = 0; i < 2000; ++i) {
        m_window.setStatus("Extracting: entry" + std::to_string(i));
        m_window.processEvents();
    }
    EXPECT_LT(paints.count, 200) << "a repaint for every entry made small archives slow";
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    m_window.processEvents();
    EXPECT_EQ(control("lblStatus")->text(), "Extracting: entry1999")
        << "once the interval is over, the last shows";
    // Posted, not sent: it waits in the queue until the window lets events run.
    QCoreApplication::postEvent(&m_window, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    QElapsedTimer clock;
    for (clock.start(); !cancelRequested() && clock.elapsed() < 500;) {
        m_window.setStatus("Extracting: one more");
        m_window.processEvents();
    }
    EXPECT_TRUE(cancelRequested());
}

TEST_F(frmBriskoLiteTest, APromptOpensOverTheLatestLines) {
    m_window.processEvents(); // what is set next waits for the next interval
    m_window.setCurrentZipfile("/downloads/asks.zip");
    m_window.setStatus("Extracting: secret.txt");
    QString behind;
    QTimer::singleShot(0, [&] {
        behind = control("lblCurrentZipfile")->text() + QLatin1Char('|') + control("lblStatus")->text();
        if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            box->done(0);
        }
    });
    QtDialogs(&m_window).messageBox("Enter the password", engines::MessageIcon::None);
    EXPECT_EQ(behind.toStdString(), "/downloads/asks.zip|Extracting: secret.txt");
}

using namespace std::string_view_literals;

TEST(DisplayTextTest, EscapesWhatCouldHideOrReorderAName) {
    const std::pair<std::string_view, const char16_t*> cases[] = {
        {"dir/file name caf\xC3\xA9 <b>&amp;\xF0\x9F\x98\x80.rar",
         u"dir/file name caf\u00E9 <b>&amp;\U0001F600.rar"},
        {"a\xFF-b", u"a\\xFF-b"},                               // stray byte
        {"\xE2\x82-", u"\\xE2\\x82-"},                          // truncated, next character kept
        {"x\xF0\x9F\x98", u"x\\xF0\\x9F\\x98"},                 // truncated at the end
        {"\xC0\xAF\xED\xA0\x80", u"\\xC0\\xAF\\xED\\xA0\\x80"}, // overlong slash, surrogate
        {"\xF4\x90\x80\x80", u"\\xF4\\x90\\x80\\x80"},          // beyond U+10FFFF
        {"a\0b\r\nb\t\x1B"sv, u"a\\u{0000}b\\u{000D}\\u{000A}b\\u{0009}\\u{001B}"}, // C0 controls
        {"\xC2\xA0\xE2\x80\x8D", u"\u00A0\u200D"},            // no-break space, zero width joiner stay
        {"evil\xE2\x80\xAEgpj.zip", u"evil\\u{202E}gpj.zip"}, // right-to-left override
        // C1 next line, isolates, marks, line and paragraph separators
        {"\xC2\x85\xE2\x81\xA6\xE2\x81\xA9\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C\xE2\x80\xA8\xE2\x80\xA9",
         u"\\u{0085}\\u{2066}\\u{2069}\\u{200E}\\u{200F}\\u{061C}\\u{2028}\\u{2029}"},
    };
    for (const auto& [utf8, shown] : cases) {
        EXPECT_EQ(DisplayText(utf8).toStdString(), QString::fromUtf16(shown).toStdString());
    }
}

} // namespace
} // namespace brisko::ui
