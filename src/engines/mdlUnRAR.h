#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "enginelibs/api/briskoguard.h"
#include "enginelibs/api/unrar.h"
#include "engines/Dialogs.h"
#include "engines/EngineAdapters.h"
#include "platform/DynamicLibrary.h"

namespace brisko::engines {

inline constexpr const char* kRarEngineLibrary = "libunrar.so";
inline constexpr const char* kRarEngineMissing =
    "Error - UNRAR.DLL cannot be found. Please re-install Brisko to make sure you have all of the "
    "required files.";

// What to do after an engine code: give up the archive, carry on, or make the same call again.
enum class ErrorAction { Stop = 0, GoOn = 1, Retry = 2 };

// The RAR engine adapter. Each archive takes two passes: a test pass that walks the headers and adds
// up the unpacked sizes (for the progress bar), then the extraction pass. The engine's codes are
// answered by HandleRarError: a password is asked for on bad data, a target the engine cannot create
// is removed when it is a file inside the destination, and everything else stops or goes on.
// An archive counts as extracted only when the extraction pass reached the archive's end and no entry
// failed to be written; a cancel after an entry ends the archive without failing it.
class mdlUnRAR : public RarEngineAdapter {
public:
    explicit mdlUnRAR(Dialogs& dialogs, std::string library = kRarEngineLibrary);
    ~mdlUnRAR() override;

    void UnrarArchive(std::string& archive, std::string& destination, ProgressDisplay& display,
                      std::string& password, records::ProcessState& state) override;

    // The answer to one engine code, for the archive open at the moment.
    ErrorAction HandleRarError(int code);

private:
    struct Engine {
        void* (*open)(RAROpenArchiveData*) = nullptr;
        int (*close)(void*) = nullptr;
        int (*readHeader)(void*, RARHeaderData*) = nullptr;
        int (*processFile)(void*, int, char*, char*) = nullptr;
        void (*setPassword)(void*, char*) = nullptr;
        void (*setGuard)(void*, const BriskoGuard*) = nullptr; // optional: an engine may not offer it
    };
    enum class PassEnd { Finished, Failed, Cancelled };

    bool loadEngine();
    // Opens the archive under the pass's guard, where the engine takes one.
    bool open(const std::string& archive, unsigned mode, const std::string& password, records::ProcessState& state);
    void close();
    // Reads header after header, calling onEntry for each entry (false fails the pass), until the
    // archive's end, a failing code or a cancel.
    PassEnd walk(records::ProcessState& state, const std::function<bool()>& onEntry);
    PassEnd testPass(records::ProcessState& state, std::int64_t& total);
    PassEnd extractionPass(ProgressDisplay& display, records::ProcessState& state, std::int64_t total);
    std::string entryName() const;
    // Notes why the archive fails, from an engine code, for the one in hand.
    void noteFailure(int code);

    Dialogs& m_dialogs;
    std::string m_libraryName;
    platform::DynamicLibrary m_library;
    Engine m_engine;

    void* m_handle = nullptr;
    records::ExtractionResult* m_result = nullptr; // of the archive in hand
    bool m_passwordInUse = false;
    bool m_inEntry = false; // m_header describes the entry being handled
    RARHeaderData m_header{};
    std::string m_destinationFolder; // ends with '/'
};

} // namespace brisko::engines
