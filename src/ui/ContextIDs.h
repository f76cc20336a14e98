#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include "ui/HelpViewer.h"

namespace brisko::ui {

// Help context ids: the topic numbers of the help document. Each topic starts at an anchor named
// "topic-<id>".
inline constexpr int kHelpContents = 10;
inline constexpr int kHelpCancel = 210;
inline constexpr int kHelpSave = 220;
inline constexpr int kHelpSubfolderName = 230;
inline constexpr int kHelpCreateSubfolders = 240;
inline constexpr int kHelpSingleSub = 250;
inline constexpr int kHelpOverwrite = 260;
inline constexpr int kHelpPrompt = 270;
inline constexpr int kHelpNewer = 280;
inline constexpr int kHelpDoNotOverwrite = 290;
inline constexpr int kHelpSameFolder = 570;
inline constexpr int kHelpDelete = 580;
inline constexpr int kHelpHelpIcon = 590;
inline constexpr int kHelpAboutIcon = 600;

// The help document shipped inside the program (a Qt resource).
inline constexpr const char* kHelpDocument = ":/brisko/help/brisko-help.html";

// The dynamic property that carries a control's help context id (an int; 0 or absent: none).
inline constexpr const char* kHelpContextIdProperty = "helpContextId";

// The help state of one program: the owner window and the help document (HelpOwner, HelpFile)
// and the viewer window once opened. The program has one, ProcessHelp(); the free functions below
// work on it.
class HelpSession {
public:
    HelpSession() = default;
    ~HelpSession();
    HelpSession(const HelpSession&) = delete;
    HelpSession& operator=(const HelpSession&) = delete;

    // Remembers `owner` (the window help is opened for; the viewer first opens beside it) and makes
    // `helpFile` the help document.
    void InitHelp(QWidget* owner, const QString& helpFile = QString::fromLatin1(kHelpDocument));

    // Opens the viewer if it is not open (a viewer the user closed is opened afresh), raises it
    // and shows topic `contextId` of HelpFile. Before InitHelp there is no help document and the
    // viewer says so; an unknown id shows the document's start with a note. Nothing is returned:
    // the viewer's notice is all the user gets.
    void ShowHelpTopic(int contextId);

    // Closes the viewer if it is open; harmless otherwise.
    void CloseHelp();

    QWidget* HelpOwner() const { return m_helpOwner; }
    const QString& HelpFile() const { return m_helpFile; }
    // The open viewer, or null.
    HelpViewer* viewer() const { return m_viewer; }

private:
    QPointer<QWidget> m_helpOwner;
    QString m_helpFile;
    QPointer<HelpViewer> m_viewer;
};

// The program's help session (created on first use, lives for the process).
HelpSession& ProcessHelp();

void InitHelp(QWidget* owner);
void ShowHelpTopic(int contextId);
void CloseHelp();

// Gives `widget` the help context id `contextId` (kHelpContextIdProperty).
void SetHelpContextId(QWidget* widget, int contextId);

// The help context id that applies to `widget`: its own, else that of the nearest parent that
// has one, else kHelpContents. A null widget gets kHelpContents.
int EffectiveHelpContextId(const QWidget* widget);

// Context help for the control with the keyboard focus: shows topic EffectiveHelpContextId(widget)
// through `session` and returns it.
int ShowContextHelp(const QWidget* widget, HelpSession& session = ProcessHelp());

// Makes F1 in `window` (and its children) show the context help of the focused control.
void InstallHelpKey(QWidget* window);

} // namespace brisko::ui
