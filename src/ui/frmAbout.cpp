#include "ui/frmAbout.h"

#include <QDesktopServices>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/DesignFont.h"
#include "ui/KindIcons.h"

namespace brisko::ui {

namespace {

QLabel* NewLabel(QWidget* parent, const char* name, const QString& text = {}) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::PlainText);
    return label;
}

// Pure blue, underlined, with the hand pointer: a label that reads as a link.
void DrawAsLink(QLabel* label) {
    QFont font = DesignFont();
    font.setUnderline(true);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
    label->setPalette(palette);
    label->setCursor(Qt::PointingHandCursor);
}

} // namespace

frmAbout::frmAbout(QWidget* parent, LinkOpener openLink)
    : QDialog(parent), m_openLink(openLink ? std::move(openLink) : LinkOpener(&QDesktopServices::openUrl)) {
    setObjectName(QStringLiteral("frmAbout"));
    setFont(DesignFont());
    setModal(true);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    m_imgZIcon = NewLabel(this, "imgZIcon");
    m_imgZIcon->setPixmap(KindIcon(QStringLiteral("ZIP")));
    m_imgZIcon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    m_lblTitle = NewLabel(this, "lblTitle");
    QFont titleFont = DesignFont(QStringLiteral("Tahoma"), 14);
    titleFont.setBold(true);
    m_lblTitle->setFont(titleFont);
    m_lblVersion = NewLabel(this, "lblVersion");
    m_lblDescription =
        NewLabel(this, "lblDescription",
                 QStringLiteral("Extracts every ZIP, RAR and ACE archive of a folder at once."));
    m_lblEmail = NewLabel(this, "lblEmail", QLatin1String(kMakerEmail));
    m_lblWebsite = NewLabel(this, "lblWebsite", QStringLiteral("http://") + QLatin1String(kMakerWebsite));
    for (QLabel* link : {m_lblEmail, m_lblWebsite}) {
        DrawAsLink(link);
        link->installEventFilter(this);
    }

    m_cmdOK = new QPushButton(QStringLiteral("OK"), this);
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdOK->setDefault(true);
    m_cmdOK->setMinimumWidth(75);
    connect(m_cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(4);
    texts->addWidget(m_lblTitle);
    texts->addWidget(m_lblVersion);
    texts->addSpacing(8);
    texts->addWidget(m_lblDescription);
    texts->addSpacing(8);
    texts->addWidget(m_lblEmail, 0, Qt::AlignLeft);
    texts->addWidget(m_lblWebsite, 0, Qt::AlignLeft);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(14, 14, 14, 12);
    grid->setHorizontalSpacing(14);
    grid->setVerticalSpacing(12);
    grid->addWidget(m_imgZIcon, 0, 0);
    grid->addLayout(texts, 0, 1);
    grid->addWidget(m_cmdOK, 1, 0, 1, 2, Qt::AlignRight);
    // A fixed dialog frame, sized to its texts.
    grid->setSizeConstraint(QLayout::SetFixedSize);

    Form_Load();
}

QUrl frmAbout::EmailLink() {
    return QUrl(QStringLiteral("mailto:") + QLatin1String(kMakerEmail));
}

QUrl frmAbout::WebsiteLink() {
    return QUrl(QStringLiteral("http://") + QLatin1String(kMakerWebsite));
}

void frmAbout::Form_Load() {
    const QString title = QLatin1String(kAppTitle);
    setWindowTitle(QStringLiteral("About ") + title);
    m_lblVersion->setText(
        QStringLiteral("Version %1.%2.%3").arg(kVersionMajor).arg(kVersionMinor).arg(kVersionRevision));
    m_lblTitle->setText(title);
}

void frmAbout::lblEmail_Click() {
    m_openLink(EmailLink());
}

void frmAbout::lblWebsite_Click() {
    m_openLink(WebsiteLink());
}

void frmAbout::cmdOK_Click() {
    accept();
}

void frmAbout::showEvent(QShowEvent* event) {
    Form_Load();
    QDialog::showEvent(event);
}

bool frmAbout::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        auto* label = static_cast<QWidget*>(watched);
        // A click is a press and a release on the label; releasing elsewhere cancels it.
        if (label->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
            if (watched == m_lblEmail) {
                lblEmail_Click();
                return true;
            }
            if (watched == m_lblWebsite) {
                lblWebsite_Click();
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace brisko::ui
