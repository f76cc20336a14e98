#pragma once

#include <QDialog>
#include <QPointer>
#include <string>

#include "engines/OverwritePrompt.h"

class QFrame;
class QLabel;
class QPushButton;

namespace brisko::ui {

// The "File Already Exists" window. Its controls carry their names as object names (lblPrompt,
// frameButtons, cmdYesToAll, cmdYes, cmdNo, cmdNoToAll).
// A button records its answer word and hides the window, which ends a modal showing. The typed
// letter Y (either case) acts as Yes and N as No, whichever control has the focus. No is the
// default button and has the focus on opening. Escape does nothing; closing the window through the
// window system leaves the answer empty.
class frmMsgBoxOverwrite : public QDialog {
    Q_OBJECT
public:
    explicit frmMsgBoxOverwrite(QWidget* parent = nullptr);
    ~frmMsgBoxOverwrite() override;

    // Makes `caption` lblPrompt's text, shown as plain text; the label takes the caption's width and
    // the window is fitted to it (Form_Resize). Names in it must already have passed DisplayText.
    void setPrompt(const QString& caption);

    // "yes", "no", "yestoall" or "notoall" once a button acted; empty before.
    const std::string& OverwriteAnswer() const { return m_answer; }

    // Fits the window to lblPrompt's current width: the outer width (frame included) becomes the
    // label's width plus 520 twips, at least 4620 twips, and the button row is centred 45 twips left
    // of the middle. The height and the label's place never change. Runs on each showing and
    // resize as well.
    void Form_Resize();

public slots:
    void cmdYes_Click();
    void cmdNo_Click();
    void cmdYesToAll_Click();
    void cmdNoToAll_Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // Closes without an answer.
    void closeEvent(QCloseEvent* event) override;
    // Escape must not answer; only the buttons and Y/N do.
    void reject() override;

private:
    void answer(const char* word);

    std::string m_answer;
    bool m_fitting = false;

    QLabel* m_lblPrompt = nullptr;
    QFrame* m_frameButtons = nullptr;
    QPushButton* m_cmdYesToAll = nullptr;
    QPushButton* m_cmdYes = nullptr;
    QPushButton* m_cmdNo = nullptr;
    QPushButton* m_cmdNoToAll = nullptr;
};

// The overwrite question as the user sees it: each question gets a fresh frmMsgBoxOverwrite,
// showing "Overwrite <name>?" with the name passed through DisplayText, centred on the screen and
// modal until answered.
class QtOverwritePrompt : public engines::OverwritePrompt {
public:
    // The window belongs to `parent` while it exists (it stays above it and is centred on its
    // screen); without one it is centred on the primary screen.
    explicit QtOverwritePrompt(QWidget* parent = nullptr) : m_parent(parent) {}

    void setParentWindow(QWidget* parent) { m_parent = parent; }

    std::string OverwriteAnswer(const std::string& name) override;

private:
    QPointer<QWidget> m_parent;
};

} // namespace brisko::ui
