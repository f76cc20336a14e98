#pragma once

#include <string>

#include "enginelibs/api/briskoguard.h"
#include "enginelibs/api/unace.h"
#include "engines/Dialogs.h"
#include "engines/EngineAdapters.h"
#include "engines/mdlUnRAR.h"
#include "platform/DynamicLibrary.h"

namespace brisko::engines {

inline constexpr const char* kAceEngineLibrary = "libunace.so";
inline constexpr const char* kAceEngineMissing =
    "Error - UNACE.DLL cannot be found. Please re-install Brisko to make sure you have all of the "
    "required files.";

// The ACE engine adapter: one extraction pass, no size total and no bar movement. Before each entry
// an existing file at its target is removed (only inside the destination), since the engine gets the
// destination folder and not a target name. A cancel already pending when an archive comes up means
// the archive is not started at all.
class mdlUnACE : public AceEngineAdapter {
public:
    explicit mdlUnACE(Dialogs& dialogs, std::string library = kAceEngineLibrary);
    ~mdlUnACE() override;

    void UnaceArchive(std::string archive, std::string destination, ProgressDisplay& display,
                      std::string password, records::ProcessState& state) override;

    // The answer to one engine code, for the archive open at the moment.
    ErrorAction HandleAceError(int code);

private:
    struct Engine {
        void* (*open)(AceOpenRecord*) = nullptr;
        int (*close)(void*) = nullptr;
        int (*readHeader)(void*, AceHeaderRecord*) = nullptr;
        int (*processFile)(void*, int, char*) = nullptr;
        void (*setPassword)(void*, char*) = nullptr;
        void (*setGuard)(void*, const BriskoGuard*) = nullptr; // optional: an engine may not offer it
    };

    bool loadEngine();
    bool extractEntries(ProgressDisplay& display, records::ProcessState& state);
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
    AceHeaderRecord m_header{};
    std::string m_destinationFolder; // ends with '/'
};

} // namespace brisko::engines
