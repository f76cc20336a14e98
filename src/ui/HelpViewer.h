#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QTextBrowser;

namespace brisko::ui {

// The anchor name of a topic: "topic-<id>".
QString HelpAnchor(int contextId);

// Brisko's help window, "Brisko Help": the help document in a browser (txtHelp) and, above it, a
// line (lblNotice) that is shown only when the viewer has something to say about the request
// itself (no document, unknown topic).
class HelpViewer : public QWidget {
    Q_OBJECT
public:
    explicit HelpViewer(QWidget* parent = nullptr);

    // Loads `helpFile` (a file path; ":/..." names a resource) unless it is the document already
    // shown, and scrolls so that topic `contextId` starts at the top. Returns false, with the reason
    // on lblNotice, when the document cannot be read or has no such topic; an unknown topic leaves
    // the document at its start.
    bool showTopic(const QString& helpFile, int contextId);

    // The topic showTopic last reached; 0 when it failed.
    int currentTopic() const { return m_currentTopic; }
    QString notice() const;
    QTextBrowser* browser() const { return m_txtHelp; }

    // The plain text of topic `contextId` in the loaded document: from its anchor up to the next
    // "topic-" anchor or the end. Empty when the topic does not exist.
    QString topicText(int contextId) const;

private:
    void setNotice(const QString& text);

    QString m_loadedFile;
    int m_currentTopic = 0;
    QLabel* m_lblNotice = nullptr;
    QTextBrowser* m_txtHelp = nullptr;
};

} // namespace brisko::ui
