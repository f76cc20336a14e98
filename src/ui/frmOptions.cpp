#include "ui/frmOptions.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <array>

#include "batch/ArchiveDestination.h"
#include "ui/ContextIDs.h"
#include "ui/DesignFont.h"
#include "ui/KindIcons.h"
#include "ui/OptionIcons.h"
#include "ui/clsToolTip.h"

namespace brisko::ui {

namespace {

template <typename T> T* Named(T* widget, const char* name, const QString& toolTip = {}) {
    widget->setObjectName(QLatin1String(name));
    widget->setToolTip(toolTip);
    return widget;
}

QLabel* Picture(QWidget* parent, const char* name, const QPixmap& pixmap) {
    auto* label = Named(new QLabel(parent), name);
    label->setPixmap(pixmap);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

// Shows a stored check box value: 0 unchecked, 1 checked, 2 greyed (neither; a click makes it an
// ordinary two-state box again). Any other value leaves the box as it is.
void ShowCheckValue(QCheckBox* box, std::int16_t value) {
    switch (value) {
    case 0:
        box->setCheckState(Qt::Unchecked);
        break;
    case 1:
        box->setCheckState(Qt::Checked);
        break;
    case 2:
        box->setCheckState(Qt::PartiallyChecked);
        QObject::connect(box, &QCheckBox::clicked, box, [box] { box->setTristate(false); },
                         Qt::SingleShotConnection);
        break;
    default:
        break;
    }
}

std::int16_t CheckValue(const QCheckBox* box) {
    switch (box->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    default:
        return 0;
    }
}

QString Lines(std::initializer_list<const char*> lines) {
    QStringList joined;
    for (const char* line : lines) {
        joined << QString::fromUtf8(line);
    }
    return joined.join(QStringLiteral("\r\n"));
}

} // namespace

frmOptions::frmOptions(records::Settings& settings, engines::Dialogs& dialogs, OptionsWriter writeOptions,
                       QWidget* parent, LinkOpener openLink)
    : QDialog(parent), m_settings(settings), m_dialogs(dialogs), m_writeOptions(std::move(writeOptions)),
      m_openLink(std::move(openLink)) {
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Brisko Options"));
    // A fixed dialog frame: a title, a close box and nothing to resize, minimise or maximise with.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setSizeGripEnabled(false);
    setFont(DesignFont());
    setMouseTracking(true);
    BuildControls();
    InstallHelpKey(this);
}

frmOptions::~frmOptions() = default;

void frmOptions::BuildControls() {
    // Created in the window's control order; the background panel comes last and is lowered.
    m_Frame1 = Named(new QGroupBox(QStringLiteral("Duplicate filenames: (ZIP archives only*)"), this), "Frame1");
    m_imgZIcon = Picture(m_Frame1, "imgZIcon", KindIcon(QStringLiteral("ZIP")));
    m_optNewer = Named(new QRadioButton(QStringLiteral("Only overwrite if newer"), m_Frame1), "optNewer",
                       QStringLiteral("Only overwrite newer files"));
    m_optOverwrite = Named(new QRadioButton(QStringLiteral("Always overwrite files"), m_Frame1), "optOverwrite",
                           QStringLiteral("Always overwrite files"));
    m_optDoNotOverwrite = Named(new QRadioButton(QStringLiteral("Do not overwrite any files"), m_Frame1),
                                "optDoNotOverwrite", QStringLiteral("Do not overwrite any files"));
    m_optPrompt = Named(new QRadioButton(QStringLiteral("Prompt to overwrite each file"), m_Frame1), "optPrompt",
                        QStringLiteral("Prompt to overwrite each file"));
    m_lblRARNote = Named(new QLabel(QStringLiteral("* RAR and ACE archives always overwrite."), m_Frame1),
                         "lblRARNote");

    m_frmExtractPaths = Named(new QGroupBox(QStringLiteral("Extract files to:"), this), "frmExtractPaths");
    m_imgFoldersIcon = Picture(m_frmExtractPaths, "imgFoldersIcon", FoldersIcon());
    m_optSingleSub = Named(new QRadioButton(QStringLiteral("A single subfolder:"), m_frmExtractPaths),
                           "optSingleSub", QStringLiteral("A single subfolder"));
    m_txtSubfolder = Named(new QLineEdit(m_frmExtractPaths), "txtSubfolder", QStringLiteral("Destination Folder"));
    m_optCreateSubfolders =
        Named(new QRadioButton(QStringLiteral("Create a subfolder for each archive"), m_frmExtractPaths),
              "optCreateSubfolders", QStringLiteral("Create a subfolder for each .ZIP file"));
    m_optSameFolder = Named(new QRadioButton(QStringLiteral("Same folder as archive"), m_frmExtractPaths),
                            "optSameFolder", QStringLiteral("Same folder as archive"));

    m_chkDelete = Named(new QCheckBox(QStringLiteral("Delete original archive if extracted successfully"), this),
                        "chkDelete");
    m_chkZipsInZips =
        Named(new QCheckBox(QStringLiteral("Extract all archives found inside archives"), this), "chkZipsInZips");
    m_chkRecurse =
        Named(new QCheckBox(QStringLiteral("Search subfolders for archives to extract"), this), "chkRecurse");

    m_imgHelp = Picture(this, "imgHelp", HelpIcon());
    m_imgAbout = Picture(this, "imgAbout", AboutIcon());
    m_cmdSave = Named(new QPushButton(QStringLiteral("Save && Exit"), this), "cmdSave", QStringLiteral("Save & Exit"));
    m_cmdCancel = Named(new QPushButton(QStringLiteral("Cancel"), this), "cmdCancel", QStringLiteral("Cancel"));
    m_Label1 = Named(new QLabel(this), "Label1");

    // Design state.
    m_optNewer->setChecked(true);
    m_optSingleSub->setChecked(true);
    m_txtSubfolder->setText(QStringLiteral("Briskoed"));

    // The duplicate-file group.
    auto* duplicates = new QGridLayout(m_Frame1);
    duplicates->setHorizontalSpacing(10);
    duplicates->setVerticalSpacing(3);
    duplicates->addWidget(m_imgZIcon, 0, 0, 4, 1, Qt::AlignTop);
    duplicates->addWidget(m_optNewer, 0, 1);
    duplicates->addWidget(m_optOverwrite, 1, 1);
    duplicates->addWidget(m_optDoNotOverwrite, 2, 1);
    duplicates->addWidget(m_optPrompt, 3, 1);
    duplicates->addWidget(m_lblRARNote, 4, 1);
    duplicates->setColumnStretch(1, 1);

    // The destination group; the text box sits right under its button, indented.
    auto* destination = new QGridLayout(m_frmExtractPaths);
    destination->setHorizontalSpacing(10);
    destination->setVerticalSpacing(3);
    destination->addWidget(m_imgFoldersIcon, 0, 0, 4, 1, Qt::AlignTop);
    destination->addWidget(m_optSingleSub, 0, 1);
    auto* indented = new QHBoxLayout;
    indented->setContentsMargins(20, 0, 0, 4);
    indented->addWidget(m_txtSubfolder);
    destination->addLayout(indented, 1, 1);
    destination->addWidget(m_optCreateSubfolders, 2, 1);
    destination->addWidget(m_optSameFolder, 3, 1);
    destination->setColumnStretch(1, 1);

    // Frames and check boxes lie on the background panel (placed in resizeEvent).
    auto* panel = new QVBoxLayout;
    panel->setContentsMargins(10, 10, 10, 10);
    panel->setSpacing(6);
    panel->addWidget(m_Frame1);
    panel->addWidget(m_frmExtractPaths);
    panel->addSpacing(2);
    panel->addWidget(m_chkDelete);
    panel->addWidget(m_chkZipsInZips);
    panel->addWidget(m_chkRecurse);

    auto* bottom = new QHBoxLayout;
    bottom->setSpacing(6);
    for (QLabel* icon : {m_imgHelp, m_imgAbout}) {
        icon->setFixedSize(kSmallIconSize, kSmallIconSize);
        icon->setMouseTracking(true);
        icon->setCursor(Qt::PointingHandCursor);
        icon->installEventFilter(this);
        SetPressedLook(icon, false);
        bottom->addWidget(icon);
    }
    bottom->addStretch(1);
    bottom->addWidget(m_cmdSave);
    bottom->addWidget(m_cmdCancel);
    for (QPushButton* button : {m_cmdSave, m_cmdCancel}) {
        button->setMinimumWidth(80);
    }

    auto* window = new QVBoxLayout(this);
    window->setSizeConstraint(QLayout::SetFixedSize);
    window->setContentsMargins(8, 8, 8, 8);
    window->setSpacing(10);
    window->addLayout(panel);
    window->addLayout(bottom);

    m_Label1->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    m_Label1->setAutoFillBackground(true);
    QPalette panelColours = m_Label1->palette();
    panelColours.setColor(QPalette::Window, palette().color(QPalette::Window).lighter(106));
    m_Label1->setPalette(panelColours);
    m_Label1->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_Label1->lower();

    m_cmdSave->setDefault(true);
    m_cmdSave->setAutoDefault(true);
    m_cmdCancel->setAutoDefault(false);

    // Keyboard order: the buttons of both groups, the text box, the check boxes, Save, Cancel.
    const QList<QWidget*> tabOrder{m_optNewer,      m_optOverwrite,        m_optDoNotOverwrite, m_optPrompt,
                                   m_optSingleSub,  m_txtSubfolder,        m_optCreateSubfolders,
                                   m_optSameFolder, m_chkDelete,           m_chkZipsInZips,     m_chkRecurse,
                                   m_cmdSave,       m_cmdCancel};
    for (qsizetype i = 1; i < tabOrder.size(); ++i) {
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }

    const std::pair<QWidget*, int> helpIds[] = {
        {m_cmdCancel, kHelpCancel},        {m_cmdSave, kHelpSave},
        {m_txtSubfolder, kHelpSubfolderName}, {m_optCreateSubfolders, kHelpCreateSubfolders},
        {m_optSingleSub, kHelpSingleSub},  {m_optOverwrite, kHelpOverwrite},
        {m_optPrompt, kHelpPrompt},        {m_optNewer, kHelpNewer},
        {m_optDoNotOverwrite, kHelpDoNotOverwrite}, {m_optSameFolder, kHelpSameFolder},
        {m_chkDelete, kHelpDelete},        {m_imgHelp, kHelpHelpIcon},
        {m_imgAbout, kHelpAboutIcon},
    };
    for (const auto& [control, id] : helpIds) {
        SetHelpContextId(control, id);
    }

    // The Help menu is offered as the window's context menu; the icons do the same.
    m_mnuHelp = Named(new QMenu(QStringLiteral("&Help"), this), "mnuHelp");
    m_mnuContents = m_mnuHelp->addAction(QStringLiteral("&Contents..."));
    m_mnuContents->setObjectName(QStringLiteral("mnuContents"));
    m_mnuAbout = m_mnuHelp->addAction(QStringLiteral("&About Brisko..."));
    m_mnuAbout->setObjectName(QStringLiteral("mnuAbout"));
    connect(m_mnuContents, &QAction::triggered, this, &frmOptions::mnuContents_Click);
    connect(m_mnuAbout, &QAction::triggered, this, &frmOptions::mnuAbout_Click);
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { m_mnuHelp->popup(mapToGlobal(at)); });

    connect(m_cmdSave, &QPushButton::clicked, this, &frmOptions::cmdSave_Click);
    connect(m_cmdCancel, &QPushButton::clicked, this, &frmOptions::cmdCancel_Click);
    connect(m_optSingleSub, &QRadioButton::clicked, this, &frmOptions::optSingleSub_Click);
    connect(m_optCreateSubfolders, &QRadioButton::clicked, this, &frmOptions::optCreateSubfolders_Click);
    connect(m_optSameFolder, &QRadioButton::clicked, this, &frmOptions::optSameFolder_Click);
}

QList<QWidget*> frmOptions::WindowedControls() const {
    // Labels and the two decorative images have no window of their own and get no tool.
    return {m_Frame1,        m_optNewer,      m_optOverwrite,  m_optDoNotOverwrite, m_optPrompt,
            m_frmExtractPaths, m_optSingleSub, m_txtSubfolder, m_optCreateSubfolders, m_optSameFolder,
            m_chkDelete,     m_chkZipsInZips, m_chkRecurse,    m_imgHelp,           m_imgAbout,
            m_cmdSave,       m_cmdCancel};
}

void frmOptions::Form_Load() {
    InitHelp(this);

    const records::Settings& s = m_settings;
    QRadioButton* duplicates = m_optDoNotOverwrite;
    if (s.Newer == 1) {
        duplicates = m_optNewer;
    } else if (s.Overwrite == 1) {
        duplicates = m_optOverwrite;
    } else if (s.Prompt == 1) {
        duplicates = m_optPrompt;
    }
    duplicates->setChecked(true);

    m_txtSubfolder->setText(QString::fromStdString(s.SubFolderName));

    if (s.SingleSub == 1) {
        m_optSingleSub->setChecked(true);
        m_txtSubfolder->setEnabled(true);
    } else if (s.SeparateSubs == 1) {
        m_optCreateSubfolders->setChecked(true);
        m_txtSubfolder->setEnabled(false);
    } else if (s.SameFolder == 1) {
        m_optSameFolder->setChecked(true);
        m_txtSubfolder->setEnabled(false);
    }

    ShowCheckValue(m_chkDelete, s.DeleteOriginals);
    ShowCheckValue(m_chkZipsInZips, s.ZipsInZips);
    ShowCheckValue(m_chkRecurse, s.Recurse);

    SetupToolTips();
    // The keyboard starts on the chosen button of the first group.
    duplicates->setFocus();
}

void frmOptions::SetupToolTips() {
    if (!m_optionsToolTip) {
        m_optionsToolTip = std::make_unique<clsToolTip>();
    }
    clsToolTip& tips = *m_optionsToolTip;
    tips.Create(this);
    tips.MaxTipWidth(240);
    tips.DelayTime(clsToolTip::TTDT_AUTOPOP, 20000);
    tips.ToolTipHeader(QStringLiteral("Information\r\n_______________"));
    tips.ToolTipHeaderShow(false);
    for (QWidget* control : WindowedControls()) {
        tips.AddTool(control, QString());
    }

    const std::pair<QWidget*, QString> texts[] = {
        {m_optNewer, Lines({"A duplicate file will only be extracted ", "if it is newer than the existing file."})},
        {m_optOverwrite, Lines({"Duplicate files will be overwritten automatically."})},
        {m_optDoNotOverwrite, Lines({"Duplicate files will be skipped automatically."})},
        {m_optPrompt, Lines({"A dialog box will appear for each duplicate file asking ",
                             "you if you want to overwrite the file or not."})},
        {m_optSingleSub, Lines({"All archives will be extracted to a single subfolder ",
                                "in the folder where the archive was found."})},
        {m_txtSubfolder, Lines({"The name of the subfolder to create."})},
        {m_optCreateSubfolders,
         Lines({"Every archive will be extracted into its own subfolder, ", "named after the archive name. ", "",
                "NOTE: Multiple zip files that contain individual parts ",
                "of a multi-part RAR archive should not use this option, ",
                "since each part of the RAR archive will be extracted ", "into a separate folder."})},
        {m_optSameFolder,
         Lines({"Archives will be extracted into the same ", "folder where the archive was found."})},
        {m_chkDelete, Lines({"Archives will be sent to the Recycle Bin ", "after being succesfully extracted. The ",
                             "archives will not be deleted if an error ", "occurred during extraction."})},
        {m_chkZipsInZips,
         Lines({"If an archive contains other archives, keep extracting ", "until all archives are extracted. ", "",
                "NOTE: If an archive contains another archive inside ",
                "a subfolder of the archive, the \"Search subfolders\" ",
                "option below must be turned on in order for the ", "newly-extracted archives to be found."})},
        {m_chkRecurse, Lines({"Extract all archives found, even in subfolders."})},
        {m_imgHelp, Lines({"Displays the help file."})},
        {m_imgAbout, Lines({"Shows the About Box, with version and contact information."})},
        {m_cmdSave, Lines({"Save settings and close this window."})},
        {m_cmdCancel, Lines({"Close this window without saving the settings."})},
    };
    for (const auto& [control, text] : texts) {
        tips.ToolText(control, text);
    }
}

void frmOptions::cmdSave_Click() {
    records::Settings& s = m_settings;
    const std::pair<QRadioButton*, std::array<std::int16_t, 3>> duplicates[] = {
        {m_optNewer, {1, 0, 1}},
        {m_optOverwrite, {1, 0, 0}},
        {m_optDoNotOverwrite, {0, 0, 0}},
        {m_optPrompt, {0, 1, 0}},
    };
    for (const auto& [button, values] : duplicates) {
        if (button->isChecked()) {
            s.Overwrite = values[0];
            s.Prompt = values[1];
            s.Newer = values[2];
            break;
        }
    }

    QString name = m_txtSubfolder->text();
    while (name.startsWith(QLatin1Char('\\'))) {
        name.remove(0, 1);
    }
    if (m_optSingleSub->isChecked()) {
        s.SingleSub = 1;
        s.SeparateSubs = 0;
        s.SameFolder = 0;
        // What is left once the backslashes are gone is what a run uses: "." or ".." name no folder
        // below the archive's, which is no better than no name.
        const batch::SubFolderNameVerdict verdict = batch::CheckSubFolderName(name.toStdString());
        if (verdict == batch::SubFolderNameVerdict::Empty || verdict == batch::SubFolderNameVerdict::NotAFolder) {
            m_dialogs.messageBox(kEmptyNameMessage.toStdString(), engines::MessageIcon::None);
            m_txtSubfolder->setFocus();
            return;
        }
    } else if (m_optCreateSubfolders->isChecked()) {
        s.SingleSub = 0;
        s.SeparateSubs = 1;
        s.SameFolder = 0;
    } else if (m_optSameFolder->isChecked()) {
        s.SingleSub = 0;
        s.SeparateSubs = 0;
        s.SameFolder = 1;
    }

    s.SubFolderName = name.toStdString();
    for (const QChar c : kForbiddenCharacters) {
        if (name.contains(c)) {
            m_dialogs.messageBox(kForbiddenNameMessage.toStdString(), engines::MessageIcon::None);
            return;
        }
    }

    // The check boxes go to the store only; the settings in memory keep what was loaded.
    records::Settings stored = s;
    stored.DeleteOriginals = CheckValue(m_chkDelete);
    stored.ZipsInZips = CheckValue(m_chkZipsInZips);
    stored.Recurse = CheckValue(m_chkRecurse);
    if (m_writeOptions) {
        m_writeOptions(stored);
    }
    accept();
}

void frmOptions::cmdCancel_Click() {
    reject();
}

void frmOptions::optSingleSub_Click() {
    m_txtSubfolder->setEnabled(true);
}

void frmOptions::optCreateSubfolders_Click() {
    m_txtSubfolder->setEnabled(false);
}

void frmOptions::optSameFolder_Click() {
    m_txtSubfolder->setEnabled(false);
}

void frmOptions::imgHelp_Click() {
    ShowHelpTopic(kHelpContents);
    SetPressedLook(m_imgHelp, false);
}

void frmOptions::imgAbout_Click() {
    SetPressedLook(m_imgAbout, false);
    ShowAboutBox();
}

void frmOptions::mnuContents_Click() {
    ShowHelpTopic(kHelpContents);
}

void frmOptions::mnuAbout_Click() {
    ShowAboutBox();
}

void frmOptions::ShowAboutBox() {
    if (!m_about) {
        m_about = new frmAbout(this, m_openLink);
    }
    m_about->exec();
}

void frmOptions::done(int result) {
    Form_Unload();
    QDialog::done(result);
}

void frmOptions::Form_Unload() {
    if (m_unloaded) {
        return;
    }
    m_unloaded = true;
    CloseHelp();
    m_optionsToolTip.reset();
}

void frmOptions::SetPressedLook(QLabel* icon, bool pressed) {
    icon->setFrameStyle(pressed ? (QFrame::Box | QFrame::Plain) : QFrame::NoFrame);
    icon->setLineWidth(1);
}

void frmOptions::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    PlaceBackgroundPanel();
}

void frmOptions::PlaceBackgroundPanel() {
    QRect covered;
    for (QWidget* item : {static_cast<QWidget*>(m_Frame1), static_cast<QWidget*>(m_frmExtractPaths),
                          static_cast<QWidget*>(m_chkDelete), static_cast<QWidget*>(m_chkZipsInZips),
                          static_cast<QWidget*>(m_chkRecurse)}) {
        covered |= item->geometry();
    }
    m_Label1->setGeometry(covered.adjusted(-8, -8, 8, 8));
    m_Label1->lower();
}

void frmOptions::mouseMoveEvent(QMouseEvent* event) {
    SetPressedLook(m_imgHelp, false);
    SetPressedLook(m_imgAbout, false);
    QDialog::mouseMoveEvent(event);
}

bool frmOptions::eventFilter(QObject* watched, QEvent* event) {
    auto* icon = qobject_cast<QLabel*>(watched);
    if (icon != m_imgHelp && icon != m_imgAbout) {
        return QDialog::eventFilter(watched, event);
    }
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        SetPressedLook(icon, true);
        return true;
    case QEvent::MouseButtonRelease: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton && icon->rect().contains(mouse->position().toPoint())) {
            if (icon == m_imgHelp) {
                imgHelp_Click();
            } else {
                imgAbout_Click();
            }
        }
        return true;
    }
    case QEvent::MouseMove:
        if (static_cast<QMouseEvent*>(event)->buttons() == Qt::NoButton) {
            SetPressedLook(m_imgHelp, false);
            SetPressedLook(m_imgAbout, false);
        }
        return true;
    default:
        return QDialog::eventFilter(watched, event);
    }
}

} // namespace brisko::ui
