#include "ui/HelpViewer.h"

#include <QFile>
#include <QLabel>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

namespace brisko::ui {

namespace {

const QString kTopicPrefix = QStringLiteral("topic-");

// A resource path (":/...") as the URL the browser resolves relative links against.
QUrl DocumentUrl(const QString& helpFile) {
    if (helpFile.startsWith(QLatin1Char(':'))) {
        return QUrl(QStringLiteral("qrc") + helpFile);
    }
    return QUrl::fromLocalFile(helpFile);
}

struct Anchor {
    QString name;
    int position;
};

// Every named anchor of the document with the position of the text it marks. The HTML importer
// hangs an empty <a name> on the character that follows it, so the position is where the topic's
// first text starts.
std::vector<Anchor> NamedAnchors(const QTextDocument& document) {
    std::vector<Anchor> anchors;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            for (const QString& name : fragment.charFormat().anchorNames()) {
                anchors.push_back({name, fragment.position()});
            }
        }
    }
    return anchors;
}

} // namespace

QString HelpAnchor(int contextId) {
    return kTopicPrefix + QString::number(contextId);
}

HelpViewer::HelpViewer(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmHelp"));
    setWindowTitle(QStringLiteral("Brisko Help"));
    m_lblNotice = new QLabel(this);
    m_lblNotice->setObjectName(QStringLiteral("lblNotice"));
    m_lblNotice->setWordWrap(true);
    m_lblNotice->setTextFormat(Qt::PlainText);
    m_lblNotice->setStyleSheet(QStringLiteral("QLabel { background: #fff8d0; padding: 4px; }"));
    m_lblNotice->hide();
    m_txtHelp = new QTextBrowser(this);
    m_txtHelp->setObjectName(QStringLiteral("txtHelp"));
    // Links leaving the document (mail, web) go to the desktop's handlers; links between topics
    // stay in the browser.
    m_txtHelp->setOpenExternalLinks(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_lblNotice);
    layout->addWidget(m_txtHelp);
    resize(560, 520);
}

QString HelpViewer::notice() const {
    return m_lblNotice->isHidden() ? QString() : m_lblNotice->text();
}

void HelpViewer::setNotice(const QString& text) {
    m_lblNotice->setText(text);
    m_lblNotice->setHidden(text.isEmpty());
}

bool HelpViewer::showTopic(const QString& helpFile, int contextId) {
    m_currentTopic = 0;
    if (helpFile.isEmpty()) {
        m_loadedFile.clear();
        m_txtHelp->clear();
        setNotice(QStringLiteral("No help document has been set up for this window."));
        return false;
    }
    if (helpFile != m_loadedFile) {
        // Checked here because the browser shows a missing document as an empty page without
        // telling anyone.
        QFile file(helpFile);
        if (!file.open(QIODevice::ReadOnly)) {
            m_loadedFile.clear();
            m_txtHelp->clear();
            setNotice(QStringLiteral("The help document %1 could not be opened.").arg(helpFile));
            return false;
        }
        m_txtHelp->setSource(DocumentUrl(helpFile), QTextDocument::HtmlResource);
        // Loading resets the document's margin; text against the frame is hard to read.
        m_txtHelp->document()->setDocumentMargin(10);
        m_loadedFile = helpFile;
    }
    if (topicText(contextId).isEmpty()) {
        m_txtHelp->verticalScrollBar()->setValue(0);
        setNotice(QStringLiteral("The help document has no topic %1.").arg(contextId));
        return false;
    }
    setNotice(QString());
    m_txtHelp->scrollToAnchor(HelpAnchor(contextId));
    m_currentTopic = contextId;
    return true;
}

QString HelpViewer::topicText(int contextId) const {
    const QTextDocument& document = *m_txtHelp->document();
    const std::vector<Anchor> anchors = NamedAnchors(document);
    const QString wanted = HelpAnchor(contextId);
    const auto start =
        std::find_if(anchors.begin(), anchors.end(), [&](const Anchor& a) { return a.name == wanted; });
    if (start == anchors.end()) {
        return {};
    }
    int end = document.characterCount() - 1;
    for (const Anchor& anchor : anchors) {
        if (anchor.position > start->position && anchor.position < end &&
            anchor.name.startsWith(kTopicPrefix)) {
            end = anchor.position;
        }
    }
    QTextCursor cursor(m_txtHelp->document());
    cursor.setPosition(start->position);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    return cursor.selectedText().replace(QChar::ParagraphSeparator, QLatin1Char('\n')).trimmed();
}

} // namespace brisko::ui
