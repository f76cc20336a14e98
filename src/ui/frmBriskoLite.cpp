#include "ui/frmBriskoLite.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>
#include <cmath>
#include <utility>

#include "batch/BatchRun.h"
#include "ui/DesignFont.h"
#include "ui/DisplayText.h"
#include "ui/KindIcons.h"

namespace brisko::ui {

namespace {

// The layout is kept in twips, the unit it was designed in; 15 twips make one logical pixel.
constexpr double kTwipsPerPixel = 15.0;

int Px(int twips) {
    return static_cast<int>(std::lround(twips / kTwipsPerPixel));
}

QRect Twips(int left, int top, int width, int height) {
    return QRect(Px(left), Px(top), Px(width), Px(height));
}

// How often the window handles its events while a run keeps it busy: quick enough for Cancel and a
// moving bar, rare enough that a thousand tiny entries do not cost a thousand repaints.
constexpr qint64 kEventIntervalMs = 25;

// The outer height (frame included) the window takes once the error list is shown.
constexpr int kGrownOuterHeightTwips = 5430;

const QColor kBarBackground = Qt::white;
const QColor kBarShadow(128, 128, 128);
const QColor kBarInnerEdge(192, 192, 192);

// Boxes on the bar are given by two corner pixels, as QRect(QPoint, QPoint): both corners and the
// pixels between them belong to the box, so (x, y)-(x, y) is a single pixel and a one-pixel line
// is a box one pixel thick. A box whose second corner lies left of or above its first is empty.
void FillBox(QPainter& painter, int x1, int y1, int x2, int y2, const QColor& colour) {
    if (x2 < x1 || y2 < y1) {
        return;
    }
    painter.fillRect(QRect(QPoint(x1, y1), QPoint(x2, y2)), colour);
}

void OutlineBox(QPainter& painter, int x1, int y1, int x2, int y2, const QColor& colour) {
    FillBox(painter, x1, y1, x2, y1, colour);
    FillBox(painter, x1, y2, x2, y2, colour);
    FillBox(painter, x1, y1, x1, y2, colour);
    FillBox(painter, x2, y1, x2, y2, colour);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QRect& geometry, const QString& text = {},
                  const QString& toolTip = {}) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    // Archive and folder names are text, never markup.
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setText(text);
    label->setToolTip(toolTip);
    return label;
}

} // namespace

frmBriskoLite::frmBriskoLite(records::ProcessState& state, engines::Dialogs& dialogs,
                             const engines::EngineAdapters& adapters, platform::TrashPlaces trash,
                             QWidget* parent)
    : QDialog(parent), m_state(state), m_dialogs(dialogs), m_adapters(adapters), m_trash(std::move(trash)) {
    setObjectName(QStringLiteral("frmBriskoLite"));
    setWindowTitle(QStringLiteral("Briskoing..."));
    // A fixed dialog frame: a title, a close box and nothing to resize, minimise or maximise with.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setSizeGripEnabled(false);
    setFont(DesignFont(QStringLiteral("Tahoma")));
    setFixedSize(Px(5655), Px(2055));

    // The button comes first so that it heads the tab order and has the focus from the start.
    m_cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    m_cmdCancel->setGeometry(Twips(4530, 1500, 915, 345));
    m_cmdCancel->setToolTip(QStringLiteral("Cancel"));
    m_cmdCancel->setDefault(true);
    connect(m_cmdCancel, &QPushButton::clicked, this, &frmBriskoLite::cmdCancel_Click);

    const QRect iconPlace = Twips(240, 210, 480, 630);
    m_imgZIcon = MakeLabel(this, "imgZIcon", iconPlace);
    m_imgZIcon->setPixmap(KindIcon(QStringLiteral("ZIP")));
    m_imgRIcon = MakeLabel(this, "imgRIcon", iconPlace);
    m_imgRIcon->setPixmap(KindIcon(QStringLiteral("RAR")));
    m_imgRIcon->hide();
    m_imgAIcon = MakeLabel(this, "imgAIcon", iconPlace);
    m_imgAIcon->setPixmap(KindIcon(QStringLiteral("ACE")));
    m_imgAIcon->hide();

    m_lblCurrentZipfile = MakeLabel(this, "lblCurrentZipfile", Twips(870, 390, 4515, 240),
                                    QStringLiteral("CurrentZipfile.zip"), QStringLiteral("Current Zip File"));
    // The status line is far wider than the window; the blocker, created after it and therefore
    // above it, cuts it off before the window's edge.
    m_lblStatus =
        MakeLabel(this, "lblStatus", Twips(180, 930, 9180, 225),
                  QStringLiteral("Extracting: onedir/subdirectory/really_really stupid-longdir/File_id.diz"),
                  QStringLiteral("File Status"));
    m_lblStatusBlocker = MakeLabel(this, "lblStatusBlocker", Twips(5430, 840, 1095, 405));
    m_lblStatusBlocker->setFont(DesignFont(QStringLiteral("Trebuchet MS")));
    m_lblStatusBlocker->setAutoFillBackground(true);
    m_lblStatusBlocker->raise();

    m_lblTo = MakeLabel(this, "lblTo", Twips(165, 1170, 240, 240), QStringLiteral("To:"));
    m_lblTo->setFont(DesignFont(QStringLiteral("Trebuchet MS")));
    m_lblToDir = MakeLabel(this, "lblToDir", Twips(480, 1170, 4920, 240),
                           QStringLiteral("'a_super_long_directory-name/Briskoed'"),
                           QStringLiteral("Destination Directory"));

    m_picProgBar =
        MakeLabel(this, "picProgBar", Twips(150, 1500, 4275, 225), {}, QStringLiteral("Progress Bar"));
    QPalette barPalette = m_picProgBar->palette();
    barPalette.setColor(QPalette::Window, kBarBackground);
    m_picProgBar->setPalette(barPalette);
    m_picProgBar->setAutoFillBackground(true);
    m_progBar = QImage(m_picProgBar->size(), QImage::Format_RGB32);
    m_progBar.fill(kBarBackground);
    m_picProgBar->setPixmap(QPixmap::fromImage(m_progBar));

    m_lblErrors =
        MakeLabel(this, "lblErrors", Twips(120, 1920, 2175, 255), QStringLiteral("Files not extracted:"));
    m_lblErrors->hide();

    m_txtErrors = new QPlainTextEdit(this);
    m_txtErrors->setObjectName(QStringLiteral("txtErrors"));
    m_txtErrors->setGeometry(Twips(120, 2160, 5415, 2655));
    m_txtErrors->setReadOnly(true);
    m_txtErrors->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_txtErrors->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_txtErrors->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QPalette errorsPalette = m_txtErrors->palette();
    errorsPalette.setBrush(QPalette::Base, errorsPalette.button());
    m_txtErrors->setPalette(errorsPalette);
    m_txtErrors->hide();

    m_lstDone = new QListWidget(this);
    m_lstDone->setObjectName(QStringLiteral("lstDone"));
    m_lstDone->setGeometry(Twips(2280, 600, 1245, 255));
    m_lstDone->hide();

    QWidget::setTabOrder(m_cmdCancel, m_txtErrors);
    QWidget::setTabOrder(m_txtErrors, m_lstDone);
    m_cmdCancel->setFocus();
}

frmBriskoLite::~frmBriskoLite() = default;

frmBriskoLite::LoadOutcome frmBriskoLite::Form_Load(const std::string& commandLine) {
    batch::BatchRun run(m_state, *this, m_dialogs, m_adapters, m_trash);
    run.RunBatch(commandLine);
    m_runFinished = true;
    showPending();

    if (run.Refused()) {
        hide();
        return LoadOutcome::Refused;
    }
    if (m_txtErrors->toPlainText().trimmed().isEmpty()) {
        hide();
        return LoadOutcome::FinishedClean;
    }
    m_cmdCancel->setEnabled(false);
    m_lblCurrentZipfile->setText(QStringLiteral("Finished, but with errors."));
    m_lblStatus->clear();
    m_lblToDir->clear();
    m_lblTo->clear();
    return LoadOutcome::FinishedWithErrors;
}

void frmBriskoLite::setCurrentZipfile(const std::string& text) {
    m_pending.currentZipfile = text;
}

void frmBriskoLite::setStatus(const std::string& text) {
    m_pending.status = text;
}

void frmBriskoLite::setToDir(const std::string& text) {
    m_pending.toDir = text;
}

void frmBriskoLite::showPending() {
    const auto show = [](QLabel* label, std::optional<std::string>& text) {
        if (text) {
            label->setText(DisplayText(*text));
            text.reset();
        }
    };
    show(m_lblCurrentZipfile, m_pending.currentZipfile);
    show(m_lblStatus, m_pending.status);
    show(m_lblToDir, m_pending.toDir);
    if (!m_pending.done.isEmpty()) {
        m_lstDone->addItems(m_pending.done);
        m_pending.done.clear();
    }
    drawProgBar();
}

const QImage& frmBriskoLite::progBarImage() {
    drawProgBar();
    return m_progBar;
}

void frmBriskoLite::ProgBar(long currAmt, long maxAmt, bool showPercent) {
    if (currAmt > maxAmt) {
        currAmt = maxAmt;
    }
    int percent = 0;
    if (maxAmt != 0) {
        const double remaining = (static_cast<double>(maxAmt) - static_cast<double>(currAmt)) / maxAmt;
        // Clamped before the conversion: far out-of-range amounts give values no int can hold.
        percent = static_cast<int>(std::clamp(100.0 - std::floor(remaining * 100.0), 0.0, 100.0));
    }
    const QString text = showPercent
                             ? QString::number(percent) + QLatin1Char('%')
                             : QString::number(currAmt) + QStringLiteral(" of ") + QString::number(maxAmt);

    if (m_progBar.size() == m_picProgBar->size() && text == m_progBarText && percent == m_progBarPercent) {
        return;
    }
    m_progBarText = text;
    m_progBarPercent = percent;
    m_progBarDrawn = false;
}

void frmBriskoLite::drawProgBar() {
    if (m_progBarDrawn) {
        return;
    }
    m_progBarDrawn = true;
    const QString& text = m_progBarText;
    const int percent = m_progBarPercent;
    if (m_progBar.size() != m_picProgBar->size()) {
        m_progBar = QImage(m_picProgBar->size(), QImage::Format_RGB32);
    }
    const int x2 = m_progBar.width() - 1;
    const int y2 = m_progBar.height() - 1;

    QPainter painter(&m_progBar);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    FillBox(painter, 1, 1, x2, y2, kBarBackground);

    // The fill below inverts what lies under it, which turns text pixels into the background colour
    // only when they are exactly the foreground colour: the text is drawn without smoothing.
    QFont barFont = font();
    barFont.setStyleStrategy(QFont::NoAntialias);
    painter.setFont(barFont);
    const QFontMetrics metrics = painter.fontMetrics();
    const int textX = (m_progBar.width() - metrics.horizontalAdvance(text)) / 2;
    const int textY = (m_progBar.height() - metrics.height()) / 2;
    painter.setPen(palette().color(QPalette::Active, QPalette::WindowText));
    painter.drawText(QPoint(textX, textY + metrics.ascent()), text);

    if (percent > 0) {
        // NOT highlight AND pixel, then XOR white: background pixels end up in the highlight colour
        // and foreground pixels in white, so the text stays readable over the fill. The fill's
        // right edge falls between pixels; it is rounded to the nearest one, which is filled.
        const int fillRight = static_cast<int>(std::lround(x2 / 100.0 * percent));
        painter.setCompositionMode(QPainter::RasterOp_NotSourceAndDestination);
        FillBox(painter, 1, 1, fillRight, y2, palette().color(QPalette::Active, QPalette::Highlight));
        painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        FillBox(painter, 1, 1, fillRight, y2, kBarBackground);
    }

    // A sunken frame: dark outer edge top and left, light grey inner outline, white right and bottom.
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    FillBox(painter, x2, 1, x2, y2, kBarBackground);
    FillBox(painter, 1, y2, x2, y2, kBarBackground);
    FillBox(painter, 0, 0, x2, 0, kBarShadow);
    FillBox(painter, 0, 0, 0, y2, kBarShadow);
    OutlineBox(painter, 1, 1, x2 - 1, y2 - 1, kBarInnerEdge);
    painter.end();

    m_picProgBar->setPixmap(QPixmap::fromImage(m_progBar));
}

bool frmBriskoLite::eventsDue() {
    if (m_sinceEvents.isValid() && m_sinceEvents.elapsed() < kEventIntervalMs) {
        return false;
    }
    m_sinceEvents.start();
    return true;
}

void frmBriskoLite::refresh() {
    if (eventsDue()) {
        showPending();
        m_lblCurrentZipfile->repaint();
        m_lblStatus->repaint();
    }
}

void frmBriskoLite::processEvents() {
    if (eventsDue()) {
        showPending();
        QCoreApplication::processEvents();
    }
}

void frmBriskoLite::showKindIcon(const std::string& kind) {
    m_imgZIcon->setVisible(kind == "ZIP");
    m_imgRIcon->setVisible(kind == "RAR");
    m_imgAIcon->setVisible(kind == "ACE");
}

void frmBriskoLite::showWindow() {
    showPending();
    show();
}

void frmBriskoLite::addFailedArchive(const std::string& path, const std::string& reason) {
    m_lblErrors->show();
    m_txtErrors->show();
    // Appended at the end whatever the user selected, and scrolled to, so the newest failure is
    // in view. The text control takes "\r\n" as one line break.
    m_txtErrors->moveCursor(QTextCursor::End);
    const QString because =
        reason.empty() ? QString() : QStringLiteral("  (") + DisplayText(reason) + QLatin1Char(')');
    m_txtErrors->insertPlainText(DisplayText(path) + because + QStringLiteral("\r\n"));

    const int frameHeight = frameGeometry().height() - height();
    setFixedSize(width(), Px(kGrownOuterHeightTwips) - frameHeight);
}

void frmBriskoLite::appendDone(const std::string& path) {
    m_pending.done.append(DisplayText(path));
}

void frmBriskoLite::cmdCancel_Click() {
    m_state.result.CancelRequested = records::kTrue;
    m_cmdCancel->setEnabled(false);
}

void frmBriskoLite::closeEvent(QCloseEvent* event) {
    // QDialog's own handler would reject() the dialog; closing is decided here alone.
    if (!m_runFinished) {
        m_state.result.CancelRequested = records::kTrue;
        event->ignore();
        return;
    }
    event->accept();
}

bool frmBriskoLite::event(QEvent* event) {
    if (event->type() == QEvent::WindowBlocked) {
        showPending();
    }
    return QDialog::event(event);
}

void frmBriskoLite::reject() {
    if (m_cmdCancel->isEnabled()) {
        m_cmdCancel->click();
    }
}

} // namespace brisko::ui
