#include "engines/mdlUnRAR.h"

#include <cstring>
#include <utility>

#include "engines/EngineGuard.h"
#include "engines/EngineText.h"
#include "engines/FailureReason.h"
#include "engines/mdlUnZIP.h"
#include "platform/FileSystem.h"

namespace brisko::engines {

mdlUnRAR::mdlUnRAR(Dialogs& dialogs, std::string library)
    : m_dialogs(dialogs), m_libraryName(std::move(library)) {}

mdlUnRAR::~mdlUnRAR() {
    close();
}

bool mdlUnRAR::loadEngine() {
    if (m_engine.open) {
        return true;
    }
    if (!m_library.loaded() && !m_library.load(m_libraryName)) {
        return false;
    }
    Engine engine;
    engine.open = reinterpret_cast<decltype(engine.open)>(m_library.symbol("RAROpenArchive"));
    engine.close = reinterpret_cast<decltype(engine.close)>(m_library.symbol("RARCloseArchive"));
    engine.readHeader = reinterpret_cast<decltype(engine.readHeader)>(m_library.symbol("RARReadHeader"));
    engine.processFile = reinterpret_cast<decltype(engine.processFile)>(m_library.symbol("RARProcessFile"));
    engine.setPassword = reinterpret_cast<decltype(engine.setPassword)>(m_library.symbol("RARSetPassword"));
    if (!engine.open || !engine.close || !engine.readHeader || !engine.processFile || !engine.setPassword) {
        return false;
    }
    engine.setGuard = reinterpret_cast<decltype(engine.setGuard)>(m_library.symbol("RARSetGuard"));
    m_engine = engine;
    return true;
}

bool mdlUnRAR::open(const std::string& archive, unsigned mode, const std::string& password,
                    records::ProcessState& state) {
    std::string name = archive;
    RAROpenArchiveData data{};
    data.ArcName = name.data();
    data.OpenMode = mode;
    m_handle = m_engine.open(&data);
    if (!m_handle || data.OpenResult != 0) {
        m_handle = nullptr;
        noteFailure(data.OpenResult != 0 ? static_cast<int>(data.OpenResult) : ERAR_EOPEN);
        return false;
    }
    if (m_engine.setGuard) {
        const BriskoGuard guard = GuardFor(state);
        m_engine.setGuard(m_handle, &guard);
    }
    if (!password.empty()) {
        std::string copy = password;
        m_engine.setPassword(m_handle, copy.data());
        m_passwordInUse = true;
    }
    return true;
}

void mdlUnRAR::close() {
    if (m_handle) {
        m_engine.close(m_handle);
        m_handle = nullptr;
    }
}

std::string mdlUnRAR::entryName() const {
    return std::string(m_header.FileName, strnlen(m_header.FileName, sizeof m_header.FileName));
}

void mdlUnRAR::UnrarArchive(std::string& archive, std::string& destination, ProgressDisplay& display,
                            std::string& password, records::ProcessState& state) {
    m_result = &state.result;
    m_passwordInUse = false;
    m_inEntry = false;
    state.result.Succeeded = records::kTrue;
    if (!platform::OrdinaryFileExists(archive)) {
        NoteFailure(state.result, kCannotOpenReason);
        state.result.Succeeded = records::kFalse;
        return;
    }
    m_destinationFolder = destination.empty() || destination.back() != '/' ? destination + "/" : destination;
    if (!loadEngine()) {
        m_dialogs.messageBox(kRarEngineMissing, MessageIcon::Critical);
        NoteFailure(state.result, kEngineMissingReason);
        state.result.Succeeded = records::kFalse;
        return;
    }

    if (!open(archive, RAR_OM_LIST, password, state)) {
        state.result.Succeeded = records::kFalse;
        return;
    }
    state.result.CancelRequested = records::kFalse;
    display.setCurrentZipfile("Testing " + FileNameOf(archive));
    display.refresh();
    display.setStatus(std::string());
    display.ProgBar(0, 100, true);
    display.processEvents();

    std::int64_t total = 0;
    PassEnd end = testPass(state, total);
    if (end == PassEnd::Finished) {
        const int closed = m_engine.close(m_handle);
        m_handle = nullptr;
        if (HandleRarError(closed) == ErrorAction::Stop) {
            end = PassEnd::Failed;
        }
    }
    if (end == PassEnd::Finished) {
        if (!open(archive, RAR_OM_EXTRACT, password, state)) {
            state.result.Succeeded = records::kFalse;
            return;
        }
        display.setCurrentZipfile(FileNameOf(archive));
        display.refresh();
        end = extractionPass(display, state, total);
    }
    close();
    if (end == PassEnd::Failed) {
        state.result.Succeeded = records::kFalse;
    }
}

mdlUnRAR::PassEnd mdlUnRAR::walk(records::ProcessState& state, const std::function<bool()>& onEntry) {
    while (true) {
        m_inEntry = false;
        const int header = m_engine.readHeader(m_handle, &m_header);
        m_inEntry = header == 0;
        if (header == 0) {
            if (!onEntry()) {
                return PassEnd::Failed;
            }
        } else {
            const ErrorAction action = HandleRarError(header);
            if (action == ErrorAction::Stop) {
                return PassEnd::Failed;
            }
            // A password typed for encrypted headers: read the same header again.
            if (action == ErrorAction::Retry) {
                continue;
            }
        }
        if (state.result.CancelRequested != records::kFalse) {
            return PassEnd::Cancelled;
        }
        if (header != 0) {
            // Only the archive's own end is a finished pass; anything else would count a partly
            // read archive as extracted.
            return header == ERAR_END_ARCHIVE ? PassEnd::Finished : PassEnd::Failed;
        }
    }
}

mdlUnRAR::PassEnd mdlUnRAR::testPass(records::ProcessState& state, std::int64_t& total) {
    return walk(state, [&] {
        ErrorAction action = ErrorAction::GoOn;
        for (int code = m_engine.processFile(m_handle, RAR_SKIP, nullptr, nullptr); code != 0;
             code = m_engine.processFile(m_handle, RAR_SKIP, nullptr, nullptr)) {
            action = HandleRarError(code);
            if (action != ErrorAction::Retry) {
                break;
            }
        }
        // Summed in 64 bits: an archive of more than 2 GiB is no reason to fail.
        total += m_header.UnpSize;
        return action != ErrorAction::Stop;
    });
}

mdlUnRAR::PassEnd mdlUnRAR::extractionPass(ProgressDisplay& display, records::ProcessState& state,
                                           std::int64_t total) {
    std::int64_t extracted = 0;
    bool writeFailed = false;
    const PassEnd end = walk(state, [&] {
        ErrorAction action = ErrorAction::Retry;
        while (action == ErrorAction::Retry) {
            display.setCurrentZipfile(VolumeLabel(m_header.ArcName, sizeof m_header.ArcName));
            display.setStatus("Extracting: " + entryName());
            display.refresh();
            // The engine writes the entry under its full name below the destination: the name in the
            // header record is cut at 259 bytes (and at a NUL), so it cannot name the target.
            std::string path = m_destinationFolder;
            const int code = m_engine.processFile(m_handle, RAR_EXTRACT, path.data(), nullptr);
            action = code == 0 ? ErrorAction::GoOn : HandleRarError(code);
            // An entry that could not be created or written lets the other entries out, but the
            // archive is not whole.
            writeFailed = writeFailed || code == ERAR_EWRITE || code == ERAR_ECREATE;
        }
        if (action == ErrorAction::Stop) {
            return false;
        }
        extracted += m_header.UnpSize;
        display.ProgBar(static_cast<long>(extracted), static_cast<long>(total), true);
        display.processEvents();
        return true;
    });
    return end == PassEnd::Finished && writeFailed ? PassEnd::Failed : end;
}

void mdlUnRAR::noteFailure(int code) {
    if (m_result != nullptr) {
        NoteFailure(*m_result, RarCodeReason(code, m_inEntry ? entryName() : std::string(), m_passwordInUse));
    }
}

ErrorAction mdlUnRAR::HandleRarError(int code) {
    switch (code) {
    case ERAR_NO_MEMORY:
    case ERAR_BAD_ARCHIVE:
    case ERAR_UNKNOWN_FORMAT:
    case ERAR_EOPEN:
    case ERAR_ECLOSE:
    case ERAR_EREAD:
        noteFailure(code);
        return ErrorAction::Stop;
    case ERAR_BAD_DATA: {
        const std::string answer = m_dialogs.inputBox(kPasswordPrompt);
        if (answer.empty() || !m_handle) {
            // Bad data in an entry that is not encrypted is damage, whatever was answered.
            const bool encrypted = !m_inEntry || (m_header.Flags & 0x04u) != 0;
            noteFailure(m_passwordInUse || !encrypted ? code : ERAR_MISSING_PASSWORD);
            return ErrorAction::Stop;
        }
        std::string copy = answer;
        m_engine.setPassword(m_handle, copy.data());
        m_passwordInUse = true;
        return ErrorAction::Retry;
    }
    case BRISKO_CANCELLED:
        // The entry in hand was abandoned (a program stopping on a signal): the archive is not whole.
        noteFailure(code);
        if (m_result != nullptr) {
            m_result->CancelRequested = records::kTrue;
        }
        return ErrorAction::Stop;
    case ERAR_ECREATE:
    case ERAR_EWRITE:
        // The engine replaces an existing file by itself, so whatever stopped it (a folder where a
        // file goes, a file where a folder goes, a refused name) is nothing to delete: the entry is
        // left out and the archive fails, and what was there stays.
        noteFailure(code);
        return ErrorAction::GoOn;
    default:
        return ErrorAction::GoOn;
    }
}

} // namespace brisko::engines
