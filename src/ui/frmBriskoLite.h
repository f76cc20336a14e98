#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QImage>
#include <QStringList>
#include <optional>
#include <string>

#include "batch/BatchDisplay.h"
#include "engines/Dialogs.h"
#include "engines/EngineAdapters.h"
#include "platform/Trash.h"
#include "records/ProcessState.h"

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace brisko::ui {

// The progress window of batch mode. Its controls carry their names as object names
// (lblCurrentZipfile, lblStatus, lblStatusBlocker, lblTo, lblToDir, picProgBar, cmdCancel,
// lblErrors, txtErrors, lstDone, imgZIcon, imgRIcon, imgAIcon).
class frmBriskoLite : public QDialog, public batch::BatchDisplay {
    Q_OBJECT
public:
    enum class LoadOutcome {
        FinishedClean,
        FinishedWithErrors,
        Refused, // the folder does not exist, or another run is extracting it: a message said so
    };

    frmBriskoLite(records::ProcessState& state, engines::Dialogs& dialogs,
                  const engines::EngineAdapters& adapters,
                  platform::TrashPlaces trash = platform::TrashPlacesFromEnvironment(),
                  QWidget* parent = nullptr);
    ~frmBriskoLite() override;

    // The load handler: runs the batch over the command line, then sets RunFinished. With a refused
    // folder or a blank error list the window is hidden (the caller ends the process); otherwise
    // Cancel is disabled, "Finished, but with errors." replaces the archive line, the other lines are
    // cleared, and the window stays until the user closes it.
    LoadOutcome Form_Load(const std::string& commandLine);

    bool RunFinished() const { return m_runFinished; }

    // The bar as the last call of ProgBar asked for it, in device-independent pixels of picProgBar's
    // size (drawn now, and put on the window, if it was not yet).
    const QImage& progBarImage();

    // engines::ProgressDisplay
    void setCurrentZipfile(const std::string& text) override;
    void setStatus(const std::string& text) override;
    void refresh() override;
    void ProgBar(long currAmt, long maxAmt, bool showPercent) override;
    // Lets events run, at most once every few hundredths of a second: the engines call it for every
    // entry, and painting the window that often cost more than extracting small files. The lines,
    // the bar and the done list are changed on the window only then (and by refresh, showWindow and
    // the end of the run), so the next call that runs shows the latest state; in between, setting
    // them only remembers what to show.
    void processEvents() override;

    // batch::BatchDisplay
    void setToDir(const std::string& text) override;
    void showKindIcon(const std::string& kind) override;
    void showWindow() override;
    void addFailedArchive(const std::string& path, const std::string& reason = {}) override;
    void appendDone(const std::string& path) override;

public slots:
    // Sets CancelRequested and disables the button for the rest of the process.
    void cmdCancel_Click();

protected:
    // A close request during the run only sets CancelRequested and is refused; after it the window
    // closes.
    void closeEvent(QCloseEvent* event) override;
    // Esc acts on the Cancel button, as Enter does (it is the default button).
    void reject() override;
    // A prompt opening over the window (password, overwrite, a message) first puts the latest lines
    // on it, so that the user sees which archive and entry it is about.
    bool event(QEvent* event) override;

private:
    // True when the last handling of events lies far enough back; restarts the interval.
    bool eventsDue();
    // Puts what was set since the last time on the window.
    void showPending();
    void drawProgBar();

    records::ProcessState& m_state;
    engines::Dialogs& m_dialogs;
    const engines::EngineAdapters& m_adapters;
    platform::TrashPlaces m_trash;
    bool m_runFinished = false;
    QImage m_progBar;
    // What the bar shows now, so that a call that would draw the same again costs nothing.
    QString m_progBarText;
    int m_progBarPercent = -1;
    bool m_progBarDrawn = true;
    // Set, not yet on the window: a folder of two thousand small archives sets each of them
    // thousands of times, and a label's layout or the bar's text costs far more than remembering.
    struct Pending {
        std::optional<std::string> currentZipfile;
        std::optional<std::string> status;
        std::optional<std::string> toDir;
        QStringList done;
    } m_pending;
    // Since the window last handled its events or repainted its lines; see processEvents().
    QElapsedTimer m_sinceEvents;

    QLabel* m_lblCurrentZipfile = nullptr;
    QLabel* m_lblStatus = nullptr;
    QLabel* m_lblStatusBlocker = nullptr;
    QLabel* m_lblToDir = nullptr;
    QLabel* m_lblTo = nullptr;
    QLabel* m_lblErrors = nullptr;
    QLabel* m_picProgBar = nullptr;
    QLabel* m_imgZIcon = nullptr;
    QLabel* m_imgRIcon = nullptr;
    QLabel* m_imgAIcon = nullptr;
    QPushButton* m_cmdCancel = nullptr;
    QPlainTextEdit* m_txtErrors = nullptr;
    QListWidget* m_lstDone = nullptr;
};

} // namespace brisko::ui
