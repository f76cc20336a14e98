#include "ui/ContextIDs.h"

#include <QKeySequence>
#include <QScreen>
#include <QShortcut>
#include <algorithm>

namespace brisko::ui {

HelpSession::~HelpSession() {
    CloseHelp();
}

void HelpSession::InitHelp(QWidget* owner, const QString& helpFile) {
    m_helpOwner = owner;
    m_helpFile = helpFile;
}

void HelpSession::ShowHelpTopic(int contextId) {
    if (m_viewer == nullptr) {
        // A window of its own rather than a child of the owner: it stays open and movable on its
        // own until CloseHelp, and the owner's modal boxes do not hide it.
        m_viewer = new HelpViewer;
        m_viewer->setAttribute(Qt::WA_DeleteOnClose);
        if (m_helpOwner != nullptr) {
            const QRect owner = m_helpOwner->frameGeometry();
            QRect place(owner.topRight() + QPoint(8, 0), m_viewer->size());
            if (const QScreen* screen = m_helpOwner->screen()) {
                const QRect free = screen->availableGeometry();
                place.moveRight(std::min(place.right(), free.right()));
                place.moveBottom(std::min(place.bottom(), free.bottom()));
                place.moveLeft(std::max(place.left(), free.left()));
                place.moveTop(std::max(place.top(), free.top()));
            }
            m_viewer->move(place.topLeft());
        }
    }
    m_viewer->show();
    // The document lays out when shown; anchors can only be scrolled to after that.
    m_viewer->showTopic(m_helpFile, contextId);
    m_viewer->raise();
    m_viewer->activateWindow();
}

void HelpSession::CloseHelp() {
    if (m_viewer != nullptr) {
        m_viewer->close();
        m_viewer = nullptr;
    }
}

HelpSession& ProcessHelp() {
    static HelpSession session;
    return session;
}

void InitHelp(QWidget* owner) {
    ProcessHelp().InitHelp(owner);
}
void ShowHelpTopic(int contextId) {
    ProcessHelp().ShowHelpTopic(contextId);
}
void CloseHelp() {
    ProcessHelp().CloseHelp();
}

void SetHelpContextId(QWidget* widget, int contextId) {
    widget->setProperty(kHelpContextIdProperty, contextId);
}

int EffectiveHelpContextId(const QWidget* widget) {
    for (; widget != nullptr; widget = widget->parentWidget()) {
        const int id = widget->property(kHelpContextIdProperty).toInt();
        if (id > 0) {
            return id;
        }
        // The search stays inside the window: a dialog's parent window has topics of its own.
        if (widget->isWindow()) {
            break;
        }
    }
    return kHelpContents;
}

int ShowContextHelp(const QWidget* widget, HelpSession& session) {
    const int id = EffectiveHelpContextId(widget);
    session.ShowHelpTopic(id);
    return id;
}

void InstallHelpKey(QWidget* window) {
    auto* shortcut = new QShortcut(QKeySequence::HelpContents, window);
    shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut, &QShortcut::activated, window,
                     [window] { ShowContextHelp(window->focusWidget() ? window->focusWidget() : window); });
}

} // namespace brisko::ui
