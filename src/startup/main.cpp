#include <QApplication>
#include <cstdio>

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

using namespace brisko;

// Exit status: 0 when no archive failed (also when none was found), 1 when some failed.
int main(int argc, char** argv) {
    // The command line is read before Qt sees it, and Qt sees none of it: a folder named like one of
    // Qt's own options ("-reverse", "-style") must stay a folder.
    const std::string commandLine = startup::CommandLineFrom(argc, argv);
    static int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Brisko"));

    records::ProcessState state;
    startup::SettingsStore store;
    state.settings = startup::LoadSettings(store);

    if (commandLine.empty()) {
        std::fputs("Brisko: the options window is not built yet. Start Brisko with a folder to extract "
                   "its archives.\n",
                   stderr);
        return 0;
    }

    ui::QtDialogs dialogs;
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
