#pragma once

#include "enginelibs/api/briskoguard.h"
#include "records/ProcessState.h"

namespace brisko::engines {

// The guard an engine works under for one archive: the pass's protected files, and a report of each
// file it opens, recorded in files.read (each path once; a path that led to another file the next
// time is marked changed). The guard refers to `files`, which must outlive the engine's use of it.
BriskoGuard GuardFor(records::PassFiles& files);

} // namespace brisko::engines
