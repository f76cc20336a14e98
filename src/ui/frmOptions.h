#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

#include "batch/ArchiveDestination.h"
#include "engines/Dialogs.h"
#include "records/Settings.h"
#include "ui/frmAbout.h"

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;

namespace brisko::ui {

class clsToolTip;

// Hands the options to be stored to the settings store: the ten values, check boxes included.
using OptionsWriter = std::function<void(const records::Settings&)>;

// The options window "Brisko Options", the program's settings editor. Its controls carry their names
// as object names. Every way of closing it (Save & Exit after a valid check, Cancel, Esc, the close
// box) ends in done(), which closes the help window; only Save & Exit stores anything.
class frmOptions : public QDialog {
    Q_OBJECT
public:
    inline static const QString kEmptyNameMessage =
        QStringLiteral("Please type the name of the subfolder where you want the files to be extracted.");
    inline static const QString kForbiddenCharacters = QString::fromLatin1(
        batch::kForbiddenFolderCharacters.data(), static_cast<qsizetype>(batch::kForbiddenFolderCharacters.size()));
    // The first line, a line break, then 41 blanks and the characters a folder name cannot hold.
    inline static const QString kForbiddenNameMessage =
        QStringLiteral("A folder name cannot contain any of the following characters:\n") +
        QString(41, QLatin1Char(' ')) + kForbiddenCharacters;

    // `settings` is shown by Form_Load and takes the choices of the two groups on Save & Exit;
    // `writeOptions` stores them. `openLink` goes to the about box (default: the desktop's handler).
    frmOptions(records::Settings& settings, engines::Dialogs& dialogs, OptionsWriter writeOptions,
               QWidget* parent = nullptr, LinkOpener openLink = {});
    ~frmOptions() override;

    // Fills the controls from the settings and builds the tips; a stored value a control cannot
    // show leaves that control as designed.
    void Form_Load();
    void SetupToolTips();

    // The tip control, null until SetupToolTips.
    clsToolTip* OptionsToolTip() const { return m_optionsToolTip.get(); }
    // The about box, null until first shown.
    frmAbout* AboutBox() const { return m_about; }
    QMenu* HelpMenu() const { return m_mnuHelp; }

    // The windowed controls in the window's control order: those that get a tool.
    QList<QWidget*> WindowedControls() const;

public slots:
    void cmdSave_Click();
    void cmdCancel_Click();
    void optSingleSub_Click();
    void optCreateSubfolders_Click();
    void optSameFolder_Click();
    void imgHelp_Click();
    void imgAbout_Click();
    void mnuContents_Click();
    void mnuAbout_Click();

protected:
    void done(int result) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void Form_Unload();
    void ShowAboutBox();
    // Gives the icon a single-line border (the pressed look) or takes it away.
    static void SetPressedLook(QLabel* icon, bool pressed);
    void PlaceBackgroundPanel();

    records::Settings& m_settings;
    engines::Dialogs& m_dialogs;
    OptionsWriter m_writeOptions;
    LinkOpener m_openLink;
    std::unique_ptr<clsToolTip> m_optionsToolTip;
    QPointer<frmAbout> m_about;
    bool m_unloaded = false;

    QGroupBox* m_Frame1 = nullptr;
    QLabel* m_imgZIcon = nullptr;
    QRadioButton* m_optNewer = nullptr;
    QRadioButton* m_optOverwrite = nullptr;
    QRadioButton* m_optDoNotOverwrite = nullptr;
    QRadioButton* m_optPrompt = nullptr;
    QLabel* m_lblRARNote = nullptr;
    QGroupBox* m_frmExtractPaths = nullptr;
    QLabel* m_imgFoldersIcon = nullptr;
    QRadioButton* m_optSingleSub = nullptr;
    QLineEdit* m_txtSubfolder = nullptr;
    QRadioButton* m_optCreateSubfolders = nullptr;
    QRadioButton* m_optSameFolder = nullptr;
    QCheckBox* m_chkDelete = nullptr;
    QCheckBox* m_chkZipsInZips = nullptr;
    QCheckBox* m_chkRecurse = nullptr;
    QLabel* m_imgHelp = nullptr;
    QLabel* m_imgAbout = nullptr;
    QPushButton* m_cmdSave = nullptr;
    QPushButton* m_cmdCancel = nullptr;
    QLabel* m_Label1 = nullptr;
    QMenu* m_mnuHelp = nullptr;
    QAction* m_mnuContents = nullptr;
    QAction* m_mnuAbout = nullptr;
};

} // namespace brisko::ui
