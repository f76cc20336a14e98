#pragma once

#include <string>

#include "engines/ProgressDisplay.h"
#include "records/ProcessState.h"

// The three engine adapters as the dispatcher reaches them. Each one extracts one archive, writes
// its progress into the display, and leaves the outcome in state.result.Succeeded (kTrue when every
// entry was extracted or deliberately skipped). They may set state.result.CancelRequested.
namespace brisko::engines {

class ZipEngineAdapter {
public:
    virtual ~ZipEngineAdapter() = default;
    // Everything it needs is in state.unzipOptions, filled just before the call.
    virtual void UnzipArchive(records::ProcessState& state, ProgressDisplay& display) = 0;
};

class RarEngineAdapter {
public:
    virtual ~RarEngineAdapter() = default;
    virtual void UnrarArchive(std::string& archive, std::string& destination, ProgressDisplay& display,
                              std::string& password, records::ProcessState& state) = 0;
};

class AceEngineAdapter {
public:
    virtual ~AceEngineAdapter() = default;
    virtual void UnaceArchive(std::string archive, std::string destination, ProgressDisplay& display,
                              std::string password, records::ProcessState& state) = 0;
};

// The adapters a run can use; a kind without an adapter fails every archive of that kind.
struct EngineAdapters {
    ZipEngineAdapter* zip = nullptr;
    RarEngineAdapter* rar = nullptr;
    AceEngineAdapter* ace = nullptr;
};

} // namespace brisko::engines
