#pragma once

#include <QPointer>
#include <QWidget>

#include "engines/Dialogs.h"

namespace brisko::ui {

// The program's message boxes as Qt shows them: caption "Brisko", the text as plain text, the
// icon asked for and an OK button only; the input box with OK and Cancel and the typed text
// visible. Each box is modal and returns when the user closes it.
class QtDialogs : public engines::Dialogs {
public:
    // The boxes are centred over `parent` while it exists; without one the window system places
    // them.
    explicit QtDialogs(QWidget* parent = nullptr) : m_parent(parent) {}

    void setParentWindow(QWidget* parent) { m_parent = parent; }

    void messageBox(const std::string& text, engines::MessageIcon icon) override;
    std::string inputBox(const std::string& prompt) override;

private:
    QPointer<QWidget> m_parent;
};

} // namespace brisko::ui
