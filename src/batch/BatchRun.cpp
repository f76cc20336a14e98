#include "batch/BatchRun.h"

#include <optional>
#include <utility>

#include "batch/DeleteArchiveSet.h"
#include "batch/FindArchives.h"
#include "batch/PathHelpers.h"
#include "batch/VolumeNames.h"
#include "batch/WaitingArchives.h"
#include "platform/FileSystem.h"

namespace brisko::batch {

namespace {

constexpr char kSeparator = SeparatorOf(kNativeStyle);

// A later volume of a new-style set (m.part2.rar) is extracted through its first volume, never on
// its own. Only the file name is read: a folder called "x.parts", an archive called "my.party.rar"
// or a first volume numbered "m.part00001.rar" are no reason to pass an archive over in silence.
bool isLaterVolume(const std::string& path) {
    if (ArchiveKindOf(path) != "RAR") {
        return false;
    }
    const std::optional<PartVolume> volume = ParsePartVolume(path);
    return volume && volume->number != 1;
}

std::string StripTrailingSeparator(std::string folder) {
    while (folder.size() > 1 && folder.back() == kSeparator) {
        folder.pop_back();
    }
    return folder;
}

// How a folder is named on the destination line: its last name, or "/" for the root.
std::string shownFolderName(const std::string& folder) {
    const std::string name = LastFolderName(folder).value_or(std::string());
    return name.empty() && folder == std::string(1, kSeparator) ? folder : name;
}

// "shown/name", without doubling the separator after the root.
std::string joinShown(const std::string& shown, const std::string& name) {
    return !shown.empty() && shown.back() == kSeparator ? shown + name : shown + kSeparator + name;
}

struct Destination {
    std::string folder;
    std::string shown; // the destination line, between single quotes
};

Destination destinationFor(const std::string& archive, const records::Settings& settings) {
    const std::string archiveFolder = FolderOf(archive);
    if (settings.SeparateSubs == 1) {
        const std::optional<std::string> stripped = StripExtension(archive);
        const std::string base = stripped ? FileNameOf(*stripped) : std::string();
        return {archiveFolder + base, "'" + joinShown(shownFolderName(archiveFolder), base) + "'"};
    }
    if (settings.SameFolder == 1) {
        return {archiveFolder, "'" + shownFolderName(archiveFolder) + "'"};
    }
    return {archiveFolder + settings.SubFolderName,
            "'" + joinShown(shownFolderName(archiveFolder), settings.SubFolderName) + "'"};
}

void fillUnzipOptions(records::UnzipOptions& options, const records::Settings& settings,
                      const std::string& archive, const std::string& destination) {
    options.PromptToOverwrite = settings.Prompt;
    options.noflag = settings.Overwrite;
    options.nfflag = settings.Newer;
    options.ExtractOnlyNewer = settings.Newer;
    options.nzflag = 0;
    options.nvflag = 0;
    options.ndflag = 1;
    options.filesToExtract.clear();
    options.filesToExclude.clear();
    options.lpszZipFN = archive;
    options.lpszExtractDir = destination;
    // One trailing separator goes; the root keeps its own, or the engine would extract into
    // whatever the working folder happens to be.
    if (options.lpszExtractDir.size() > 1 && options.lpszExtractDir.back() == kSeparator) {
        options.lpszExtractDir.pop_back();
    }
}

} // namespace

void ExtractArchive(std::string& archive, std::string& destination, records::ProcessState& state,
                    engines::ProgressDisplay& display, const engines::EngineAdapters& adapters) {
    const std::string kind = ArchiveKindOf(archive);
    if (kind == "ZIP") {
        fillUnzipOptions(state.unzipOptions, state.settings, archive, destination);
        if (adapters.zip) {
            adapters.zip->UnzipArchive(state, display);
        }
    } else if (kind == "RAR") {
        std::string password;
        if (adapters.rar) {
            adapters.rar->UnrarArchive(archive, destination, display, password, state);
        }
    } else if (kind == "ACE") {
        if (adapters.ace) {
            adapters.ace->UnaceArchive(archive, destination, display, std::string(), state);
        }
    }
}

BatchRun::BatchRun(records::ProcessState& state, BatchDisplay& display, engines::Dialogs& dialogs,
                   const engines::EngineAdapters& adapters, platform::TrashPlaces trash)
    : m_state(state), m_display(display), m_dialogs(dialogs), m_adapters(adapters),
      m_trash(std::move(trash)) {}

void BatchRun::RunBatch(std::string folder) {
    const records::Settings& settings = m_state.settings;
    records::ExtractionResult& result = m_state.result;
    bool anyExtracted = false;

    NormaliseFolder(folder);
    const ArchiveList archives = FindArchives(folder, settings.Recurse != 0);
    if (++m_passes > kMaxPasses) {
        // An archive that holds itself (or a chain of them) would otherwise nest a level deeper on
        // every pass until the path is too long. What is left is listed, not silently dropped.
        for (const std::string& path : archives) {
            if (IndexInList(m_state.DoneList, path) == 0 && !isLaterVolume(path)) {
                m_display.addFailedArchive(path);
            }
        }
        return;
    }
    m_archiveCount = static_cast<int>(archives.size());
    if (m_archiveCount == 0) {
        // Further passes (and a first pass with archives-inside-archives on) stay silent.
        if (settings.ZipsInZips == 0) {
            m_dialogs.messageBox(kNoArchivesMessage, engines::MessageIcon::None);
        }
        return;
    }

    result.CancelRequested = records::kFalse;
    m_display.setCurrentZipfile(std::string());
    m_display.setStatus(std::string());
    m_display.ProgBar(0, m_archiveCount, false);
    m_display.showWindow();
    m_display.processEvents();

    std::optional<WaitingArchives> waiting(std::in_place, archives);
    for (m_archiveIndex = 1; m_archiveIndex <= m_archiveCount; ++m_archiveIndex) {
        std::string path = archives[static_cast<std::size_t>(m_archiveIndex - 1)];
        if (IndexInList(m_state.DoneList, path) == 0 && !isLaterVolume(path)) {
            m_display.setCurrentZipfile(path);
            Destination destination = destinationFor(path, settings);
            m_display.setToDir(destination.shown);
            if (!platform::FolderExists(destination.folder)) {
                MakeFolderChain(destination.folder);
            }
            m_display.showKindIcon(ArchiveKindOf(path));
            m_display.processEvents();

            result.Succeeded = records::kFalse;
            waiting->BeginExtraction(path, StripTrailingSeparator(destination.folder));
            ExtractArchive(path, destination.folder, m_state, m_display, m_adapters);
            if (waiting->EndExtraction()) {
                result.Succeeded = records::kFalse;
            }
            if (result.Succeeded != records::kFalse) {
                anyExtracted = true;
            } else {
                m_display.addFailedArchive(path);
            }
            if (result.Succeeded == records::kTrue && settings.DeleteOriginals == 1 &&
                result.CancelRequested == records::kFalse) {
                DeleteArchiveSet(path, m_trash);
            }
        }
        m_display.ProgBar(m_archiveIndex + 1, m_archiveCount, false);
        m_state.DoneList.push_back(path);
        m_display.appendDone(path);
        m_display.processEvents();
        if (result.CancelRequested != records::kFalse) {
            break;
        }
    }

    waiting.reset(); // the next pass guards its own list
    if (settings.ZipsInZips == 1 && result.CancelRequested == records::kFalse && anyExtracted) {
        RunBatch(folder);
    }
}

} // namespace brisko::batch
