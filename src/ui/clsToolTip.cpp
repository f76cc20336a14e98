#include "ui/clsToolTip.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QLabel>
#include <QScreen>
#include <QToolTip>
#include <algorithm>

namespace brisko::ui {
namespace {

std::uint32_t ToColorRef(const QColor& colour) {
    return static_cast<std::uint32_t>(colour.red()) | static_cast<std::uint32_t>(colour.green()) << 8 |
           static_cast<std::uint32_t>(colour.blue()) << 16;
}

QColor FromColorRef(std::uint32_t clr) {
    return QColor(static_cast<int>(clr & 0xFF), static_cast<int>(clr >> 8 & 0xFF),
                  static_cast<int>(clr >> 16 & 0xFF));
}

std::int32_t LowWord(std::int32_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) & 0xFFFFu);
}

// The tip sits this far below the pointer so the cursor does not hide its first line.
constexpr int kBelowPointer = 20;
constexpr int kPadding = 2;

} // namespace

clsToolTip::clsToolTip() {
    m_backColor = ToColorRef(QToolTip::palette().color(QPalette::ToolTipBase));
    m_foreColor = ToColorRef(QToolTip::palette().color(QPalette::ToolTipText));
    const int base = QApplication::doubleClickInterval();
    m_delays[TTDT_INITIAL] = base;
    m_delays[TTDT_AUTOPOP] = base * 10;
    m_delays[TTDT_RESHOW] = base / 5;
    m_showTimer.setSingleShot(true);
    m_hideTimer.setSingleShot(true);
    connect(&m_showTimer, &QTimer::timeout, this, &clsToolTip::ShowTip);
    connect(&m_hideTimer, &QTimer::timeout, this, &clsToolTip::HideTip);
}

clsToolTip::~clsToolTip() {
    for (Tool& tool : m_tools) {
        if (tool.ctrl) {
            tool.ctrl->removeEventFilter(this);
        }
    }
    delete m_tip.data();
}

bool clsToolTip::Create(QWidget* frm) {
    if (!m_tip && frm != nullptr) {
        m_tools.clear(); // tools of a tip window that went with its old host
        m_tip = new QLabel(frm, Qt::ToolTip | Qt::FramelessWindowHint);
        m_tip->setTextFormat(Qt::PlainText);
        m_tip->setWordWrap(false);
        m_tip->setFrameShape(QFrame::Box);
        m_tip->setLineWidth(1);
        m_tip->setAutoFillBackground(true);
        m_tip->setAttribute(Qt::WA_ShowWithoutActivating);
        m_tip->setAttribute(Qt::WA_TransparentForMouseEvents);
        ApplyLook();
    }
    return m_tip != nullptr;
}

QWidget* clsToolTip::hWnd() const {
    return m_tip.data();
}

clsToolTip::Tool* clsToolTip::FindTool(const QWidget* ctrl) {
    return const_cast<Tool*>(std::as_const(*this).FindTool(ctrl));
}

const clsToolTip::Tool* clsToolTip::FindTool(const QWidget* ctrl) const {
    if (!m_tip || ctrl == nullptr) {
        return nullptr;
    }
    // A destroyed control's QPointer is null, so its tool never matches a newer widget at the same
    // address; dropping it here keeps the count honest.
    std::erase_if(m_tools, [](const Tool& tool) { return tool.ctrl.isNull(); });
    auto found =
        std::find_if(m_tools.begin(), m_tools.end(), [ctrl](const Tool& tool) { return tool.ctrl == ctrl; });
    return found == m_tools.end() ? nullptr : &*found;
}

QString clsToolTip::WithHeader(const QString& strText) const {
    if (m_showHeader && !m_headerText.isEmpty()) {
        return m_headerText + QStringLiteral("\r\n") + strText;
    }
    return strText;
}

bool clsToolTip::AddTool(QWidget* ctrl, const QString& strText) {
    if (!fIsWindow(ctrl) || !m_tip || FindTool(ctrl) != nullptr) {
        return false;
    }
    m_tools.push_back({ctrl, strText.isEmpty() ? QString() : WithHeader(strText)});
    ctrl->installEventFilter(this);
    return true;
}

bool clsToolTip::RemoveTool(QWidget* ctrl) {
    const Tool* tool = FindTool(ctrl);
    if (tool == nullptr) {
        return false;
    }
    ctrl->removeEventFilter(this);
    m_tools.erase(m_tools.begin() + (tool - m_tools.data()));
    if (m_current == ctrl) {
        PointerLeft(ctrl);
    }
    return true;
}

bool clsToolTip::HasToolTip(QWidget* ctrl) const {
    return FindTool(ctrl) != nullptr;
}

std::int32_t clsToolTip::ToolCount() const {
    if (!m_tip) {
        return 0;
    }
    std::erase_if(m_tools, [](const Tool& tool) { return tool.ctrl.isNull(); });
    return static_cast<std::int32_t>(m_tools.size());
}

QString clsToolTip::ToolText(QWidget* ctrl) const {
    const Tool* tool = FindTool(ctrl);
    return tool == nullptr ? QString() : tool->text;
}

void clsToolTip::ToolText(QWidget* ctrl, const QString& strText) {
    if (strText.isEmpty()) {
        RemoveTool(ctrl);
        return;
    }
    Tool* tool = FindTool(ctrl);
    if (tool == nullptr) {
        return;
    }
    tool->text = WithHeader(strText);
    if (m_current == ctrl && m_tip->isVisible()) {
        ShowTip();
    }
}

std::uint32_t clsToolTip::BackColor() const {
    return m_tip ? m_backColor : 0;
}

void clsToolTip::BackColor(std::uint32_t clr) {
    if (m_tip) {
        m_backColor = clr & 0xFFFFFFu;
        ApplyLook();
    }
}

std::uint32_t clsToolTip::ForeColor() const {
    return m_tip ? m_foreColor : 0;
}

void clsToolTip::ForeColor(std::uint32_t clr) {
    if (m_tip) {
        m_foreColor = clr & 0xFFFFFFu;
        ApplyLook();
    }
}

std::int32_t clsToolTip::DelayTime(std::uint32_t dwType) const {
    if (!m_tip) {
        return 0;
    }
    const std::uint32_t type = dwType & 3u;
    return m_delays[type == TTDT_AUTOMATIC ? TTDT_INITIAL : type];
}

void clsToolTip::DelayTime(std::uint32_t dwType, std::int32_t dwMilliSecs) {
    if (!m_tip) {
        return;
    }
    const std::uint32_t type = dwType & 3u;
    const std::int32_t base = dwMilliSecs < 0 ? QApplication::doubleClickInterval() : dwMilliSecs;
    if (type == TTDT_AUTOMATIC) {
        m_delays[TTDT_INITIAL] = base;
        m_delays[TTDT_AUTOPOP] = base * 10;
        m_delays[TTDT_RESHOW] = base / 5;
    } else if (dwMilliSecs < 0) {
        m_delays[type] = type == TTDT_AUTOPOP ? base * 10 : type == TTDT_RESHOW ? base / 5 : base;
    } else {
        m_delays[type] = dwMilliSecs;
    }
}

std::int32_t clsToolTip::Margin(std::uint32_t dwType) const {
    return m_tip && dwType < 4 ? m_margins[dwType] : 0;
}

void clsToolTip::Margin(std::uint32_t dwType, std::int32_t cPixels) {
    if (!m_tip) {
        return;
    }
    if (dwType < 4) {
        m_margins[dwType] = cPixels;
    }
    ApplyLook();
}

std::int32_t clsToolTip::MaxTipWidth() const {
    return m_tip ? LowWord(m_maxTipWidth) : 0;
}

void clsToolTip::MaxTipWidth(std::int32_t lngWidth) {
    if (m_tip) {
        m_maxTipWidth = static_cast<std::int32_t>(static_cast<std::uint32_t>(lngWidth) | 0x10000u);
    }
}

void clsToolTip::ToolTipHeader(const QString& vNewValue) {
    m_headerText = vNewValue;
    m_showHeader = true;
}

QString clsToolTip::DisplayText(const QString& text) const {
    // Only a "\r\n" pair is a line break; a lone CR or LF would start a line in a QLabel, which the
    // width rule does not allow, so it shows as a space.
    QStringList lines = text.split(QStringLiteral("\r\n"));
    for (QString& line : lines) {
        line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    }
    const bool multiLine = m_maxTipWidth != -1;
    return lines.join(multiLine ? QLatin1Char('\n') : QLatin1Char(' '));
}

void clsToolTip::ApplyLook() {
    QPalette palette = m_tip->palette();
    for (auto role : {QPalette::Window, QPalette::Base, QPalette::ToolTipBase}) {
        palette.setColor(role, FromColorRef(m_backColor));
    }
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ToolTipText}) {
        palette.setColor(role, FromColorRef(m_foreColor));
    }
    m_tip->setPalette(palette);
    m_tip->setContentsMargins(m_margins[0] + kPadding, m_margins[1] + kPadding, m_margins[2] + kPadding,
                              m_margins[3] + kPadding);
    if (m_tip->isVisible()) {
        m_tip->adjustSize();
    }
}

bool clsToolTip::eventFilter(QObject* watched, QEvent* event) {
    auto* ctrl = qobject_cast<QWidget*>(watched);
    if (ctrl == nullptr || !m_tip) {
        return false;
    }
    switch (event->type()) {
    case QEvent::Enter:
    case QEvent::MouseMove:
    case QEvent::HoverMove:
        // A move is an entry when the Enter was missed (e.g. synthesised moves).
        if (m_current != ctrl) {
            PointerEntered(ctrl);
        }
        break;
    case QEvent::Leave:
    case QEvent::Hide:
        if (m_current == ctrl) {
            PointerLeft(ctrl);
        }
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
        if (m_current == ctrl) {
            m_pressed = true;
            m_showTimer.stop();
            HideTip();
        }
        break;
    case QEvent::ToolTip:
        return FindTool(ctrl) != nullptr;
    default:
        break;
    }
    return false;
}

void clsToolTip::PointerEntered(QWidget* ctrl) {
    const bool tipWasUp = m_tip->isVisible() || (m_leftWhileShowing.isValid() &&
                                                 m_leftWhileShowing.elapsed() < m_delays[TTDT_INITIAL]);
    HideTip();
    m_current = ctrl;
    m_pressed = false;
    m_showTimer.start(std::max(0, m_delays[tipWasUp ? TTDT_RESHOW : TTDT_INITIAL]));
}

void clsToolTip::PointerLeft(QWidget* ctrl) {
    if (m_current != ctrl) {
        return;
    }
    if (m_tip && m_tip->isVisible()) {
        m_leftWhileShowing.start();
    } else {
        m_leftWhileShowing.invalidate();
    }
    m_current = nullptr;
    m_pressed = false;
    m_showTimer.stop();
    HideTip();
}

void clsToolTip::ShowTip() {
    const Tool* tool = FindTool(m_current);
    if (tool == nullptr || tool->text.isEmpty() || m_pressed) {
        HideTip();
        return;
    }
    m_tip->setText(DisplayText(tool->text));
    m_tip->adjustSize();
    QPoint at = QCursor::pos() + QPoint(0, kBelowPointer);
    if (const QScreen* screen = QGuiApplication::screenAt(QCursor::pos())) {
        const QRect room = screen->availableGeometry();
        at.setX(std::clamp(at.x(), room.left(), std::max(room.left(), room.right() - m_tip->width())));
        if (at.y() + m_tip->height() > room.bottom()) {
            at.setY(QCursor::pos().y() - m_tip->height() - 2);
        }
    }
    m_tip->move(at);
    m_tip->show();
    if (m_delays[TTDT_AUTOPOP] > 0) {
        m_hideTimer.start(m_delays[TTDT_AUTOPOP]);
    } else {
        m_hideTimer.stop();
    }
}

void clsToolTip::HideTip() {
    m_hideTimer.stop();
    if (m_tip) {
        m_tip->hide();
    }
}

} // namespace brisko::ui
