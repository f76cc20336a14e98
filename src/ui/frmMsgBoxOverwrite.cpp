#include "ui/frmMsgBoxOverwrite.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScreen>
#include <cmath>

#include "ui/DesignFont.h"
#include "ui/DisplayText.h"

namespace brisko::ui {

namespace {

// The layout is kept in twips, the unit it was designed in; 15 twips make one logical pixel.
constexpr double kTwipsPerPixel = 15.0;

constexpr int kClientWidthTwips = 4530;
constexpr int kClientHeightTwips = 1575;
// Room around the prompt, and the narrowest the window gets (both outer widths).
constexpr int kPromptMarginTwips = 520;
constexpr int kMinOuterWidthTwips = 4620;
constexpr int kButtonRowOffsetTwips = 45;

int Px(double twips) {
    return static_cast<int>(std::lround(twips / kTwipsPerPixel));
}

QRect Twips(int left, int top, int width, int height) {
    return QRect(Px(left), Px(top), Px(width), Px(height));
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, int leftTwips) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(Twips(leftTwips, 0, 975, 345));
    return button;
}

} // namespace

frmMsgBoxOverwrite::frmMsgBoxOverwrite(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmMsgBoxOverwrite"));
    setWindowTitle(QStringLiteral("File Already Exists"));
    // A fixed dialog frame with a title only: the question has to be answered with a button, so
    // there is no close box where the window manager honours the hint.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint);
    setSizeGripEnabled(false);
    setFont(DesignFont());
    setFixedSize(Px(kClientWidthTwips), Px(kClientHeightTwips));

    m_lblPrompt = new QLabel(this);
    m_lblPrompt->setObjectName(QStringLiteral("lblPrompt"));
    m_lblPrompt->move(Px(210), Px(450));
    // The caption holds a file name, which is text, never markup.
    m_lblPrompt->setTextFormat(Qt::PlainText);
    m_lblPrompt->setText(QStringLiteral("Overwrite"));
    m_lblPrompt->adjustSize();

    m_frameButtons = new QFrame(this);
    m_frameButtons->setObjectName(QStringLiteral("frameButtons"));
    m_frameButtons->setFrameShape(QFrame::NoFrame);
    m_frameButtons->setGeometry(Twips(180, 1080, 4170, 345));

    // Created in tab order, so No heads the focus chain and has the focus on opening; the row from
    // left to right is Yes To All, Yes, No, No To All.
    m_cmdNo = MakeButton(m_frameButtons, "cmdNo", QStringLiteral("&No"), 2130);
    m_cmdNoToAll = MakeButton(m_frameButtons, "cmdNoToAll", QStringLiteral("No To All"), 3195);
    m_cmdYesToAll = MakeButton(m_frameButtons, "cmdYesToAll", QStringLiteral("Yes To All"), 0);
    m_cmdYes = MakeButton(m_frameButtons, "cmdYes", QStringLiteral("&Yes"), 1065);
    QWidget::setTabOrder(m_cmdNo, m_cmdNoToAll);
    QWidget::setTabOrder(m_cmdNoToAll, m_cmdYesToAll);
    QWidget::setTabOrder(m_cmdYesToAll, m_cmdYes);
    m_cmdNo->setDefault(true);
    m_cmdNo->setFocus();

    connect(m_cmdYes, &QPushButton::clicked, this, &frmMsgBoxOverwrite::cmdYes_Click);
    connect(m_cmdNo, &QPushButton::clicked, this, &frmMsgBoxOverwrite::cmdNo_Click);
    connect(m_cmdYesToAll, &QPushButton::clicked, this, &frmMsgBoxOverwrite::cmdYesToAll_Click);
    connect(m_cmdNoToAll, &QPushButton::clicked, this, &frmMsgBoxOverwrite::cmdNoToAll_Click);

    // The window sees typed keys before whichever button has the focus.
    installEventFilter(this);
    for (QPushButton* button : {m_cmdNo, m_cmdNoToAll, m_cmdYesToAll, m_cmdYes}) {
        button->installEventFilter(this);
    }
}

frmMsgBoxOverwrite::~frmMsgBoxOverwrite() = default;

void frmMsgBoxOverwrite::setPrompt(const QString& caption) {
    m_lblPrompt->setText(caption);
    m_lblPrompt->adjustSize();
    Form_Resize();
}

void frmMsgBoxOverwrite::Form_Resize() {
    // Changing the width below raises another resize; the guard ends that at once, also when the
    // window manager does not grant the width asked for.
    if (m_fitting) {
        return;
    }
    const QScopedValueRollback<bool> guard(m_fitting, true);

    double outerTwips = m_lblPrompt->width() * kTwipsPerPixel + kPromptMarginTwips;
    if (outerTwips < kMinOuterWidthTwips) {
        outerTwips = kMinOuterWidthTwips;
    }
    // The frame is known only once the window system has framed the window; until then it is 0.
    const int framePx = frameGeometry().width() - width();
    setFixedSize(Px(outerTwips) - framePx, Px(kClientHeightTwips));

    const double rowTwips = m_frameButtons->width() * kTwipsPerPixel;
    m_frameButtons->move(Px(outerTwips / 2 - rowTwips / 2 - kButtonRowOffsetTwips), m_frameButtons->y());
}

void frmMsgBoxOverwrite::cmdYes_Click() {
    answer("yes");
}

void frmMsgBoxOverwrite::cmdNo_Click() {
    answer("no");
}

void frmMsgBoxOverwrite::cmdYesToAll_Click() {
    answer("yestoall");
}

void frmMsgBoxOverwrite::cmdNoToAll_Click() {
    answer("notoall");
}

void frmMsgBoxOverwrite::answer(const char* word) {
    m_answer = word;
    hide();
}

bool frmMsgBoxOverwrite::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const QString typed = static_cast<QKeyEvent*>(event)->text().toUpper();
        if (typed == QLatin1String("Y")) {
            cmdYes_Click();
            return true;
        }
        if (typed == QLatin1String("N")) {
            cmdNo_Click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmMsgBoxOverwrite::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    Form_Resize();
}

void frmMsgBoxOverwrite::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    Form_Resize();
}

void frmMsgBoxOverwrite::closeEvent(QCloseEvent* event) {
    // QDialog's own handler would go through reject(), which does nothing here, and so refuse.
    event->accept();
}

void frmMsgBoxOverwrite::reject() {}

std::string QtOverwritePrompt::OverwriteAnswer(const std::string& name) {
    frmMsgBoxOverwrite window(m_parent.data());
    // The native window is made first: the window system may know its frame only from then on, and
    // both the width and the centring count the frame in.
    window.winId();
    window.setPrompt(QStringLiteral("Overwrite ") + DisplayText(name) + QLatin1Char('?'));

    QScreen* screen = m_parent ? m_parent->screen() : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        QRect placed = window.frameGeometry();
        placed.moveCenter(screen->availableGeometry().center());
        window.move(placed.topLeft());
    }
    window.exec();
    return window.OverwriteAnswer();
}

} // namespace brisko::ui
