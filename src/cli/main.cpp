// brisko-extract: the batch run without a window, for scripts, download managers and cron jobs.
#include <QCoreApplication>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <unistd.h>

#include "batch/ArchiveDestination.h"
#include "batch/BatchRun.h"
#include "cli/CliOptions.h"
#include "cli/TerminalPrompts.h"
#include "cli/TextDisplay.h"
#include "engines/mdlUnACE.h"
#include "engines/mdlUnRAR.h"
#include "engines/mdlUnZIP.h"
#include "platform/FileSystem.h"
#include "startup/SettingsStore.h"

using namespace brisko;

namespace {

// The signal that asked the run to stop. A signal handler can reach nothing else.
volatile std::sig_atomic_t g_stopSignal = 0;

void noteStop(int signal) {
    g_stopSignal = signal;
}

} // namespace

// Exit status: 0 every archive extracted (or none found), 1 some archive failed or a folder is being
// extracted by another run, 2 a usage error (a bad option, a folder that does not exist), 128 + the
// signal after SIGINT or SIGTERM.
int main(int argc, char** argv) {
    setenv("TZ", ":/etc/localtime", 0); // see the program's main: one look at the zone, not one per entry
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Brisko"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRISKO_VERSION));

    const cli::ParsedCommandLine parsed = cli::ParseCommandLine(QCoreApplication::arguments());
    if (parsed.text) {
        std::fputs(parsed.text->c_str(), parsed.status == 0 ? stdout : stderr);
        return parsed.status;
    }
    const cli::CliOptions& options = parsed.options;
    std::vector<std::string> passwords;
    if (options.passwordFile && !cli::ReadPasswordFile(*options.passwordFile, passwords)) {
        std::fprintf(stderr, "brisko-extract: cannot read the password file %s\n", options.passwordFile->c_str());
        return 2;
    }

    struct sigaction stop {};
    stop.sa_handler = noteStop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);

    records::ProcessState state;
    state.stopSignal = &g_stopSignal;
    startup::SettingsStore store;
    std::optional<std::string> replacedName;
    state.settings = startup::LoadSettings(store, &replacedName);
    const bool interactive = ::isatty(STDIN_FILENO) == 1;
    cli::ApplyOptions(options, interactive, state.settings);
    const records::Settings& s = state.settings;
    if (replacedName && !options.subfolder && s.SeparateSubs != 1 && s.SameFolder != 1) {
        std::fprintf(stderr, "brisko-extract: the stored subfolder name \"%s\" is not a folder name; \"%s\" is used\n",
                     replacedName->c_str(), batch::kDefaultSubFolderName);
    }

    cli::TerminalPrompts prompts(std::move(passwords), interactive);
    cli::TextDisplay display(state, g_stopSignal, options.quiet, options.json);
    display.onBeginArchive = [&prompts] { prompts.startArchive(); };
    startup::SettingsValueStore values(store);
    engines::mdlUnZIP zip(prompts, prompts, values);
    engines::mdlUnRAR rar(prompts);
    engines::mdlUnACE ace(prompts);
    const engines::EngineAdapters adapters{&zip, &rar, &ace};

    int status = 0;
    for (const std::string& folder : options.folders) {
        if (g_stopSignal != 0) {
            break;
        }
        if (!platform::FolderExists(folder)) {
            prompts.messageBox(batch::MissingFolderMessage(folder), engines::MessageIcon::None);
            status = std::max(status, 2);
            continue;
        }
        batch::BatchRun run(state, display, prompts, adapters);
        run.RunBatch(folder);
        if (run.Refused()) {
            status = std::max(status, 1);
        }
    }
    if (g_stopSignal != 0) {
        return 128 + g_stopSignal;
    }
    return display.failures() > 0 ? std::max(status, 1) : status;
}
