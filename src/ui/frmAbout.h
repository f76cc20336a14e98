#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>
#include <functional>

class QLabel;
class QPushButton;

namespace brisko::ui {

// The program's title and its three-part version.
inline constexpr const char* kAppTitle = "Brisko";
inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 3;
inline constexpr int kVersionRevision = 188;

// Where the about box's two links lead.
inline constexpr const char* kMakerEmail = "support@brisko.invalid";
inline constexpr const char* kMakerWebsite = "brisko.invalid/";

// Opens a link with the desktop's handler; the result is ignored by the about box (a link nobody
// can open fails silently).
using LinkOpener = std::function<bool(const QUrl&)>;

// The about box "About Brisko". Its controls carry their names as object names (imgZIcon,
// lblTitle, lblVersion, lblDescription, lblEmail, lblWebsite, cmdOK). Clicking lblEmail opens
// "mailto:" + kMakerEmail and clicking lblWebsite "http://" + kMakerWebsite through the link
// opener; cmdOK and the close box end the box. Every showing runs Form_Load again.
class frmAbout : public QDialog {
    Q_OBJECT
public:
    // `openLink` defaults to QDesktopServices::openUrl.
    explicit frmAbout(QWidget* parent = nullptr, LinkOpener openLink = {});

    // Sets the caption, lblTitle and lblVersion from kAppTitle and the version.
    void Form_Load();

    // The two links, as they are handed to the link opener.
    static QUrl EmailLink();
    static QUrl WebsiteLink();

public slots:
    void lblEmail_Click();
    void lblWebsite_Click();
    void cmdOK_Click();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    LinkOpener m_openLink;
    QLabel* m_imgZIcon = nullptr;
    QLabel* m_lblTitle = nullptr;
    QLabel* m_lblVersion = nullptr;
    QLabel* m_lblDescription = nullptr;
    QLabel* m_lblEmail = nullptr;
    QLabel* m_lblWebsite = nullptr;
    QPushButton* m_cmdOK = nullptr;
};

} // namespace brisko::ui
