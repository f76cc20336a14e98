#include "cli/CliOptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include "batch/ArchiveDestination.h"

namespace brisko::cli {

namespace {

const QStringList kInto{"single", "per-archive", "same"};
const QStringList kDuplicates{"newer", "always", "never", "ask"};

// --name / --no-name: the last one given wins; neither leaves the setting as it is.
std::optional<bool> switchOf(const QCommandLineParser& parser, const QStringList& arguments, const QString& name) {
    std::optional<bool> value;
    for (const QString& argument : arguments) {
        if (argument == "--" + name) {
            value = true;
        } else if (argument == "--no-" + name) {
            value = false;
        }
    }
    return parser.isSet(name) || parser.isSet("no-" + name) ? value : std::nullopt;
}

} // namespace

ParsedCommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Extracts every ZIP, RAR and ACE archive of each FOLDER, as Brisko does, without a window.\n"
        "Options left out keep what the options window saved. Exit status: 0 all extracted (or none\n"
        "found), 1 some archive failed, 2 usage error; 130/143 after SIGINT/SIGTERM.");
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption version("version", "Show the version.");
    const QCommandLineOption into("into", "Where archives go: single (one common subfolder), per-archive, same.",
                                  "mode");
    const QCommandLineOption subfolder("subfolder", "The name of the single subfolder.", "name");
    const QCommandLineOption duplicates("duplicates", "Existing files in ZIP archives: newer, always, never, ask.",
                                        "policy");
    const QCommandLineOption passwords("password-file", "Passwords, one per line, tried in order for every "
                                                        "encrypted archive.",
                                       "file");
    const QCommandLineOption quiet({"q", "quiet"}, "No progress on standard error.");
    const QCommandLineOption json("json", "One JSON object per archive on standard output instead of a line.");
    parser.addOptions({help, version, into, subfolder, duplicates, passwords, quiet, json});
    for (const char* name : {"trash", "recurse", "nested"}) {
        const QString what = QString(name) == "trash"     ? "move extracted archives to the trash"
                             : QString(name) == "recurse" ? "search subfolders"
                                                          : "extract archives found inside archives";
        parser.addOption(QCommandLineOption(name, "Do " + what + "."));
        parser.addOption(QCommandLineOption(QString("no-") + name, "Do not " + what + "."));
    }
    parser.addPositionalArgument("FOLDER", "A folder to extract the archives of.", "FOLDER...");

    ParsedCommandLine parsed;
    const auto usage = [&](const QString& problem) {
        parsed.text = "brisko-extract: " + problem.toStdString() + "\nTry 'brisko-extract --help'.\n";
        parsed.status = 2;
        return parsed;
    };
    if (!parser.parse(arguments)) {
        return usage(parser.errorText());
    }
    if (parser.isSet(help)) {
        parsed.text = parser.helpText().toStdString();
        return parsed;
    }
    if (parser.isSet(version)) {
        parsed.text = "brisko-extract " + QCoreApplication::applicationVersion().toStdString() + "\n";
        return parsed;
    }
    CliOptions& o = parsed.options;
    if (parser.isSet(into)) {
        if (!kInto.contains(parser.value(into))) {
            return usage("--into takes single, per-archive or same");
        }
        o.into = parser.value(into).toStdString();
    }
    if (parser.isSet(subfolder)) {
        const std::string name = parser.value(subfolder).toStdString();
        if (batch::CheckSubFolderName(name) != batch::SubFolderNameVerdict::Valid) {
            return usage("--subfolder takes one folder name, without / : * ? \" < > | and not . or ..");
        }
        o.subfolder = name;
    }
    if (parser.isSet(duplicates)) {
        if (!kDuplicates.contains(parser.value(duplicates))) {
            return usage("--duplicates takes newer, always, never or ask");
        }
        o.duplicates = parser.value(duplicates).toStdString();
    }
    if (parser.isSet(passwords)) {
        o.passwordFile = parser.value(passwords).toStdString();
    }
    o.quiet = parser.isSet(quiet);
    o.json = parser.isSet(json);
    o.trash = switchOf(parser, arguments, "trash");
    o.recurse = switchOf(parser, arguments, "recurse");
    o.nested = switchOf(parser, arguments, "nested");
    for (const QString& folder : parser.positionalArguments()) {
        o.folders.push_back(folder.toStdString());
    }
    if (o.folders.empty()) {
        return usage("no FOLDER given");
    }
    return parsed;
}

void ApplyOptions(const CliOptions& options, bool interactive, records::Settings& s) {
    if (options.into) {
        s.SingleSub = *options.into == "single";
        s.SeparateSubs = *options.into == "per-archive";
        s.SameFolder = *options.into == "same";
    }
    if (options.subfolder) {
        s.SubFolderName = *options.subfolder;
    }
    if (options.duplicates) {
        const std::string& d = *options.duplicates;
        s.Newer = d == "newer";
        s.Overwrite = d == "newer" || d == "always";
        s.Prompt = d == "ask";
    }
    if (s.Prompt == 1 && !interactive) {
        s.Prompt = 0;
        s.Overwrite = 0;
        s.Newer = 0;
    }
    if (options.trash) {
        s.DeleteOriginals = *options.trash ? 1 : 0;
    }
    if (options.recurse) {
        s.Recurse = *options.recurse ? 1 : 0;
    }
    if (options.nested) {
        s.ZipsInZips = *options.nested ? 1 : 0;
    }
}

} // namespace brisko::cli
