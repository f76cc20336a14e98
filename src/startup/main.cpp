#include <QApplication>
#include <cstdlib>
#include <iostream>

#include "batch/ArchiveDestination.h"
#include "engines/EngineAdapters.h"
#include "engines/mdlUnACE.h"
#include "engines/mdlUnRAR.h"
#include "engines/mdlUnZIP.h"
#include "records/ProcessState.h"
#include "startup/CommandLine.h"
#include "startup/SettingsStore.h"
#include "ui/QtDialogs.h"
#include "ui/frmBriskoLite.h"
#include "ui/frmMsgBoxOverwrite.h"
#include "ui/frmOptions.h"

using namespace brisko;

// Exit status: 0 when no archive failed (also when none was found, and in options mode), 1 when
// some failed or the folder was refused (missing, or being extracted by another run).
int main(int argc, char** argv) {
    // The command line is read before Qt sees it, and Qt sees none of it: a folder named like one of
    // Qt's own options ("-reverse", "-style") must stay a folder.
    const std::string commandLine = startup::CommandLineFrom(argc, argv);
    // Without TZ the C library checks /etc/localtime again on every local-time conversion, and the
    // ZIP reader converts the date of every entry; naming the same file once keeps the same zone.
    setenv("TZ", ":/etc/localtime", 0);
    static int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Brisko"));

    records::ProcessState state;
    startup::SettingsStore store;
    std::optional<std::string> replacedName;
    state.settings = startup::LoadSettings(store, &replacedName);

    ui::QtDialogs dialogs;
    if (commandLine.empty()) {
        // Options mode: the options window is all there is, and the program ends when it closes.
        ui::frmOptions options(state.settings, dialogs,
                               [&store](const records::Settings& chosen) { startup::SaveSettings(store, chosen); });
        dialogs.setParentWindow(&options);
        options.Form_Load();
        QObject::connect(&options, &QDialog::finished, &app, &QCoreApplication::quit);
        options.show();
        QApplication::exec();
        return 0;
    }

    // The stored name of the single subfolder was unusable: say so where a script or a terminal sees it.
    const bool singleSubfolder = state.settings.SeparateSubs != 1 && state.settings.SameFolder != 1;
    if (singleSubfolder && replacedName) {
        std::cerr << "brisko: the stored subfolder name \"" << *replacedName << "\" is not a folder name; \""
                  << batch::kDefaultSubFolderName << "\" is used instead\n";
    }

    ui::QtOverwritePrompt overwritePrompt;
    startup::SettingsValueStore values(store);
    engines::mdlUnZIP zip(dialogs, overwritePrompt, values);
    engines::mdlUnRAR rar(dialogs);
    engines::mdlUnACE ace(dialogs);
    const engines::EngineAdapters adapters{&zip, &rar, &ace};
    ui::frmBriskoLite window(state, dialogs, adapters);
    dialogs.setParentWindow(&window);
    switch (window.Form_Load(commandLine)) {
    case ui::frmBriskoLite::LoadOutcome::FinishedClean:
        return 0;
    case ui::frmBriskoLite::LoadOutcome::Refused:
        return 1;
    case ui::frmBriskoLite::LoadOutcome::FinishedWithErrors:
        break;
    }
    QApplication::exec();
    return 1;
}
