#include "engines/mdlUnACE.h"

#include <cstring>
#include <utility>

#include "engines/EngineGuard.h"
#include "engines/EngineText.h"
#include "engines/FailureReason.h"
#include "engines/mdlUnZIP.h"
#include "platform/FileSystem.h"

namespace brisko::engines {

mdlUnACE::mdlUnACE(Dialogs& dialogs, std::string library)
    : m_dialogs(dialogs), m_libraryName(std::move(library)) {}

mdlUnACE::~mdlUnACE() {
    if (m_handle) {
        m_engine.close(m_handle);
    }
}

bool mdlUnACE::loadEngine() {
    if (m_engine.open) {
        return true;
    }
    if (!m_library.loaded() && !m_library.load(m_libraryName)) {
        return false;
    }
    Engine engine;
    engine.open = reinterpret_cast<decltype(engine.open)>(m_library.symbol("ACEOpenArchive"));
    engine.close = reinterpret_cast<decltype(engine.close)>(m_library.symbol("ACECloseArchive"));
    engine.readHeader = reinterpret_cast<decltype(engine.readHeader)>(m_library.symbol("ACEReadHeader"));
    engine.processFile = reinterpret_cast<decltype(engine.processFile)>(m_library.symbol("ACEProcessFile"));
    engine.setPassword = reinterpret_cast<decltype(engine.setPassword)>(m_library.symbol("ACESetPassword"));
    if (!engine.open || !engine.close || !engine.readHeader || !engine.processFile || !engine.setPassword) {
        return false;
    }
    engine.setGuard = reinterpret_cast<decltype(engine.setGuard)>(m_library.symbol("ACESetGuard"));
    m_engine = engine;
    return true;
}

std::string mdlUnACE::entryName() const {
    return std::string(m_header.FileName, strnlen(m_header.FileName, sizeof m_header.FileName));
}

void mdlUnACE::UnaceArchive(std::string archive, std::string destination, ProgressDisplay& display,
                            std::string password, records::ProcessState& state) {
    if (state.result.CancelRequested != records::kFalse) {
        return;
    }
    state.result.Succeeded = records::kTrue;
    if (!platform::OrdinaryFileExists(archive)) {
        NoteFailure(state.result, kCannotOpenReason);
        state.result.Succeeded = records::kFalse;
        return;
    }
    m_destinationFolder = destination.empty() || destination.back() != '/' ? destination + "/" : destination;
    if (!loadEngine()) {
        m_dialogs.messageBox(kAceEngineMissing, MessageIcon::Critical);
        NoteFailure(state.result, kEngineMissingReason);
        state.result.Succeeded = records::kFalse;
        return;
    }

    AceOpenRecord open{};
    open.ArcName = archive.data();
    open.OpenMode = ACE_OPEN_EXTRACT;
    m_result = &state.result;
    m_passwordInUse = !password.empty();
    m_inEntry = false;
    m_handle = m_engine.open(&open);
    if (m_handle && m_engine.setGuard) {
        const BriskoGuard guard = GuardFor(state);
        m_engine.setGuard(m_handle, &guard);
    }
    if (m_handle && !password.empty()) {
        m_engine.setPassword(m_handle, password.data());
    }
    display.setCurrentZipfile(FileNameOf(archive));
    display.refresh();
    if (!m_handle || open.OpenResult != 0) {
        m_handle = nullptr;
        noteFailure(open.OpenResult != 0 ? static_cast<int>(open.OpenResult) : ACE_ERR_OPEN);
        state.result.Succeeded = records::kFalse;
        return;
    }
    if (!extractEntries(display, state)) {
        state.result.Succeeded = records::kFalse;
    }
    m_engine.close(m_handle);
    m_handle = nullptr;
}

bool mdlUnACE::extractEntries(ProgressDisplay& display, records::ProcessState& state) {
    while (true) {
        m_inEntry = false;
        const int header = m_engine.readHeader(m_handle, &m_header);
        m_inEntry = header == 0;
        if (header == 0) {
            display.setCurrentZipfile(VolumeLabel(m_header.ArcName, sizeof m_header.ArcName));
            display.setStatus("Extracting: " + entryName());
            display.refresh();
            ErrorAction action = ErrorAction::Retry;
            while (action == ErrorAction::Retry) {
                // Nothing is removed beforehand: the engine replaces an existing file only once the
                // new one is whole, so a damaged entry leaves the old file as it was.
                std::string folder = m_destinationFolder;
                const int code = m_engine.processFile(m_handle, ACE_EXTRACT, folder.data());
                action = code == 0 ? ErrorAction::GoOn : HandleAceError(code);
            }
            if (action == ErrorAction::Stop) {
                return false;
            }
            display.processEvents();
        } else if (HandleAceError(header) == ErrorAction::Stop) {
            return false;
        }
        if (state.result.CancelRequested != records::kFalse) {
            return true;
        }
        if (header != 0) {
            return true;
        }
    }
}

void mdlUnACE::noteFailure(int code) {
    if (m_result != nullptr) {
        NoteFailure(*m_result, AceCodeReason(code, m_inEntry ? entryName() : std::string(), m_passwordInUse));
    }
}

ErrorAction mdlUnACE::HandleAceError(int code) {
    switch (code) {
    case 1:
    case 3:
    case 5:
    case 6:
    case 7:
    case 9:
        noteFailure(code);
        return ErrorAction::Stop;
    case ACE_ERR_CREATE:
        // A folder in the way, a file where a folder goes, or a refused name: nothing to delete.
        noteFailure(code);
        return ErrorAction::Stop;
    case BRISKO_CANCELLED:
        // The entry in hand was abandoned (a program stopping on a signal): the archive is not whole.
        noteFailure(code);
        if (m_result != nullptr) {
            m_result->CancelRequested = records::kTrue;
        }
        return ErrorAction::Stop;
    case ACE_ERR_PASSWORD: {
        const std::string answer = m_dialogs.inputBox(kPasswordPrompt);
        if (answer.empty() || !m_handle) {
            noteFailure(code);
            return ErrorAction::Stop;
        }
        std::string copy = answer;
        m_engine.setPassword(m_handle, copy.data());
        m_passwordInUse = true;
        return ErrorAction::Retry;
    }
    default:
        return ErrorAction::GoOn;
    }
}

} // namespace brisko::engines
