#include <QApplication>
#include <cstdlib>

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
// some failed.
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
    state.settings = startup::LoadSettings(store);

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

    ui::QtOverwritePrompt overwritePrompt;
    startup::SettingsValueStore values(store);
    engines::mdlUnZIP zip(dialogs, overwritePrompt, values);
    engines::mdlUnRAR rar(dialogs);
    engines::mdlUnACE ace(dialogs);
    const engines::EngineAdapters adapters{&zip, &rar, &ace};
    ui::frmBriskoLite window(state, dialogs, adapters);
    dialogs.setParentWindow(&window);
    if (window.Form_Load(commandLine) == ui::frmBriskoLite::LoadOutcome::FinishedClean) {
        return 0;
    }
    QApplication::exec();
    return 1;
}
