#pragma once

#include "enginelibs/api/briskoguard.h"
#include "records/ProcessState.h"

namespace brisko::engines {

// The guard an engine works under for one archive: the pass's protected files, a report of each file
// it opens, recorded in state.passFiles.read (each path once; a path that led to another file the
// next time is marked changed), and the first reason the writer gives for turning an entry down, in
// state.result.FailureReason. The guard refers to `state`, which must outlive the engine's use of it.
BriskoGuard GuardFor(records::ProcessState& state);

} // namespace brisko::engines
