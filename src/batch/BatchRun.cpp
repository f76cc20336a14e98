#include "batch/BatchRun.h"

#include <optional>
#include <utility>

#include "batch/ArchiveDestination.h"
#include "batch/DeleteArchiveSet.h"
#include "batch/FindArchives.h"
#include "batch/PathHelpers.h"
#include "batch/ProtectedFiles.h"
#include "batch/VolumeNames.h"
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

std::string withoutTrailingSeparator(std::string folder) {
    while (folder.size() > 1 && folder.back() == kSeparator) {
        folder.pop_back();
    }
    return folder;
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
    // One trailing separator goes; the root keeps its own, or the engine would extract into
    // whatever the working folder happens to be.
    options.lpszExtractDir = destination;
    if (options.lpszExtractDir.size() > 1 && options.lpszExtractDir.back() == kSeparator) {
        options.lpszExtractDir.pop_back();
    }
}

} // namespace

std::string MissingFolderMessage(const std::string& folder) {
    return "The folder " + withoutTrailingSeparator(folder) + " does not exist.";
}

std::string BusyFolderMessage(const std::string& folder) {
    return "The folder " + withoutTrailingSeparator(folder) + " is already being extracted.";
}

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

bool BatchRun::takeFolder(const std::string& folder) {
    if (!platform::FolderExists(folder)) {
        m_dialogs.messageBox(MissingFolderMessage(folder), engines::MessageIcon::None);
        return false;
    }
    // Two runs on one folder (two clicks in a file manager) would extract every archive twice and
    // trash each set twice over.
    if (m_lock.lock(folder) == platform::FolderLock::Result::Busy) {
        m_dialogs.messageBox(BusyFolderMessage(folder), engines::MessageIcon::None);
        return false;
    }
    return true;
}

void BatchRun::listOnce(const std::string& path, const std::string& reason) {
    if (IndexInList(m_listed, path) == 0) {
        m_listed.push_back(path);
        m_display.showWindow();
        m_display.addFailedArchive(path, reason);
    }
}

void BatchRun::RunBatch(std::string folder) {
    const records::Settings& settings = m_state.settings;
    records::ExtractionResult& result = m_state.result;
    bool anyExtracted = false;

    NormaliseFolder(folder);
    if (m_passes == 0 && !takeFolder(folder)) {
        m_refused = true;
        return;
    }
    std::vector<std::string> unreadable;
    const ArchiveList archives = FindArchives(folder, settings.Recurse != 0, &unreadable);
    // Nothing is passed over in silence: a folder that could not be searched is listed.
    for (const std::string& path : unreadable) {
        listOnce(path, kUnreadableReason);
    }
    if (++m_passes > kMaxPasses) {
        // An archive that holds itself (or a chain of them) would otherwise nest a level deeper on
        // every pass until the path is too long. What is left is listed, not silently dropped.
        for (const std::string& path : archives) {
            if (!inDoneList(path) && !isLaterVolume(path)) {
                listOnce(path, kTooDeepReason);
            }
        }
        return;
    }
    m_archiveCount = static_cast<int>(archives.size());
    if (m_archiveCount == 0) {
        // Further passes (and a first pass with archives-inside-archives on) stay silent.
        if (settings.ZipsInZips == 0 && unreadable.empty()) {
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

    m_state.passFiles.protectedFiles = ProtectedFilesOf(archives);
    for (m_archiveIndex = 1; m_archiveIndex <= m_archiveCount; ++m_archiveIndex) {
        const std::string& path = archives[static_cast<std::size_t>(m_archiveIndex - 1)];
        if (!inDoneList(path) && !isLaterVolume(path)) {
            extract(path, anyExtracted);
        }
        m_display.ProgBar(m_archiveIndex + 1, m_archiveCount, false);
        m_state.DoneList.push_back(path);
        m_display.appendDone(path);
        m_display.processEvents();
        if (result.CancelRequested != records::kFalse) {
            break;
        }
    }
    m_state.passFiles = records::PassFiles{};

    if (settings.ZipsInZips == 1 && result.CancelRequested == records::kFalse && anyExtracted) {
        RunBatch(folder);
    }
}

bool BatchRun::inDoneList(const std::string& path) {
    for (; m_doneCounted < m_state.DoneList.size(); ++m_doneCounted) {
        m_done.insert(m_state.DoneList[m_doneCounted]);
    }
    return m_done.count(path) != 0;
}

void BatchRun::extract(const std::string& archive, bool& anyExtracted) {
    const records::Settings& settings = m_state.settings;
    records::ExtractionResult& result = m_state.result;
    records::PassFiles& files = m_state.passFiles;
    std::string path = archive;

    m_display.setCurrentZipfile(path);
    std::optional<ArchiveDestination> destination = DestinationFor(path, settings);
    if (!destination) {
        m_display.addFailedArchive(path, kNoSubfolderReason);
        return;
    }
    m_display.setToDir(destination->shown);
    if (!platform::FolderExists(destination->folder)) {
        MakeFolderChain(destination->folder);
    }
    m_display.showKindIcon(ArchiveKindOf(path));
    m_display.processEvents();

    result.Succeeded = records::kFalse;
    result.FailureReason.clear();
    files.read.clear();
    files.readReported = false;
    m_display.beginArchive(path);
    ExtractArchive(path, destination->folder, m_state, m_display, m_adapters);
    // Whatever this archive read belongs to the pass too (a volume named beyond what the names foresee).
    AddProtected(files.protectedFiles, files.read);
    if (result.Succeeded != records::kFalse) {
        anyExtracted = true;
        m_display.archiveExtracted(path);
    } else {
        m_display.addFailedArchive(path, result.FailureReason);
    }
    if (result.Succeeded == records::kTrue && settings.DeleteOriginals == 1 &&
        result.CancelRequested == records::kFalse) {
        if (files.readReported) {
            TrashFilesRead(files.read, m_trash);
        } else {
            DeleteArchiveSet(path, m_trash);
        }
    }
}

} // namespace brisko::batch
