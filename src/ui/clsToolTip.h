#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <vector>

class QLabel;
class QWidget;

namespace brisko::ui {

// One tip window that attaches tips to the controls of one hosting window. Each control has at most
// one tool; the instance watches the mouse over the control itself (an event filter) and pops the tip
// up after the initial delay, down after the auto-pop delay or when the pointer leaves or a button is
// pressed. Moving from one tool to another while its tip shows (or just after) uses the reshow delay.
//
// An optional header is put in front of tip texts handed over while it is switched on: the stored
// text is then header, "\r\n", text. The header only affects texts handed over afterwards.
//
// Before Create succeeds (and after the hosting window, which owns the tip window, is destroyed)
// every member does nothing and returns false, 0 or empty, except hWnd, ToolTipHandle,
// ToolTipHeader and ToolTipHeaderShow, which only touch the instance's own fields.
//
// Where the Qt twin differs from a native tooltip window:
// - Any non-null widget counts as a control with a window (fIsWindow); a null one has none. Members
//   other than AddTool given a null control simply find no tool.
// - A tool whose control is destroyed disappears with it (and from ToolCount).
// - The tip window is a QLabel with the Qt::ToolTip window type, plain text, a one-pixel frame and
//   two pixels of padding inside the margins; it appears 20 pixels below the pointer, kept on screen.
// - Texts have no length limit, so there is no receive buffer to size.
// - The control's own Qt tooltip (QEvent::ToolTip) is swallowed while it has a tool.
class clsToolTip : public QObject {
    Q_OBJECT
public:
    // The delay types; DelayTime uses only the two low bits of the type it is given.
    static constexpr std::uint32_t TTDT_AUTOMATIC = 0;
    static constexpr std::uint32_t TTDT_RESHOW = 1;
    static constexpr std::uint32_t TTDT_AUTOPOP = 2;
    static constexpr std::uint32_t TTDT_INITIAL = 3;

    clsToolTip();
    // Destroys the tip window, and its tools with it.
    ~clsToolTip() override;
    clsToolTip(const clsToolTip&) = delete;
    clsToolTip& operator=(const clsToolTip&) = delete;

    // Creates the tip window, owned by `frm`, unless it already exists; true when it exists.
    // A null `frm` creates nothing.
    bool Create(QWidget* frm);

    // The tip window, null before Create. Both names give the same window.
    QWidget* hWnd() const;
    QWidget* ToolTipHandle() const { return hWnd(); }

    // True when `ctrl` has a window, i.e. is not null.
    static bool fIsWindow(const QWidget* ctrl) { return ctrl != nullptr; }

    // Attaches a tool to `ctrl` with `strText` (header in front when switched on); an empty text leaves
    // the tool without a tip until ToolText sets one. False when `ctrl` has no window, before Create,
    // or when `ctrl` already has a tool (which is then left unchanged).
    bool AddTool(QWidget* ctrl, const QString& strText = QString());
    // Detaches `ctrl`'s tool; false when it had none.
    bool RemoveTool(QWidget* ctrl);
    bool HasToolTip(QWidget* ctrl) const;
    // The number of tools.
    std::int32_t ToolCount() const;

    // The tip text stored for `ctrl`, header included; empty when it has no tool.
    QString ToolText(QWidget* ctrl) const;
    // An empty `strText` removes `ctrl`'s tool. Otherwise replaces the tool's text (header in front
    // when switched on); a control without a tool gets none.
    void ToolText(QWidget* ctrl, const QString& strText);

    // Colours as 0x00BBGGRR (red in the low byte). They start as the application's tooltip colours.
    std::uint32_t BackColor() const;
    void BackColor(std::uint32_t clr);
    std::uint32_t ForeColor() const;
    void ForeColor(std::uint32_t clr);

    // Milliseconds for TTDT_RESHOW, TTDT_AUTOPOP or TTDT_INITIAL. TTDT_AUTOMATIC reads the initial
    // delay; setting it makes the initial delay `dwMilliSecs`, the auto-pop delay ten times and the
    // reshow delay a fifth of it. A negative value restores the default of the type(s) set, which
    // derive the same way from the application's double-click interval. An auto-pop delay of 0 or
    // less keeps the tip up until the pointer leaves.
    std::int32_t DelayTime(std::uint32_t dwType) const;
    void DelayTime(std::uint32_t dwType, std::int32_t dwMilliSecs);

    // Pixels added around the text: 0 left, 1 top, 2 right, 3 bottom; all start at 0. Another type
    // reads 0 and sets none.
    std::int32_t Margin(std::uint32_t dwType) const;
    void Margin(std::uint32_t dwType, std::int32_t cPixels);

    // The low 16 bits of the width limit. It starts with no limit (reads 65535). Setting any width
    // stores it with bit 16 set, so the limit is always beyond any screen, and switches the tip to
    // multi-line display: its lines break exactly at the "\r\n" pairs of the text and nowhere else.
    // Until then a tip is one line, each "\r\n" shown as a space.
    std::int32_t MaxTipWidth() const;
    void MaxTipWidth(std::int32_t lngWidth);

    // Setting the header text also switches the header on; ToolTipHeaderShow switches it alone.
    const QString& ToolTipHeader() const { return m_headerText; }
    void ToolTipHeader(const QString& vNewValue);
    bool ToolTipHeaderShow() const { return m_showHeader; }
    void ToolTipHeaderShow(bool vNewValue) { m_showHeader = vNewValue; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Tool {
        QPointer<QWidget> ctrl;
        QString text;
    };

    Tool* FindTool(const QWidget* ctrl);
    const Tool* FindTool(const QWidget* ctrl) const;
    QString WithHeader(const QString& strText) const;
    QString DisplayText(const QString& text) const;
    void ApplyLook();
    void PointerEntered(QWidget* ctrl);
    void PointerLeft(QWidget* ctrl);
    void ShowTip();
    void HideTip();

    QPointer<QLabel> m_tip;
    mutable std::vector<Tool> m_tools;
    QString m_headerText;
    bool m_showHeader = false;
    std::uint32_t m_backColor = 0;
    std::uint32_t m_foreColor = 0;
    std::int32_t m_delays[4] = {}; // indexed by type; [0] unused
    std::int32_t m_margins[4] = {};
    std::int32_t m_maxTipWidth = -1;

    QPointer<QWidget> m_current; // the tool control under the pointer
    bool m_pressed = false;      // a button went down on m_current; no tip until it is left
    QTimer m_showTimer;
    QTimer m_hideTimer;
    QElapsedTimer m_leftWhileShowing; // runs from leaving a tool whose tip was up
};

} // namespace brisko::ui
