// The engine's exported symbols; everything else in the library is hidden.
#pragma GCC visibility push(default)
#include "api/briskoguard.h"
#include "api/unace.h"
#pragma GCC visibility pop

#include <memory>
#include <new>

#include "unace/AceHandle.h"

using brisko::enginelib::ace::AceHandle;
using brisko::enginelib::ace::isHandle;

// Nothing may unwind into the caller's C frames: every entry point turns exceptions into codes.

void* ACEOpenArchive(struct AceOpenRecord* ArchiveData) {
    if (ArchiveData == nullptr) {
        return nullptr;
    }
    ArchiveData->CmtSize = 0;
    ArchiveData->CmtState = 0;
    try {
        auto handle = std::make_unique<AceHandle>();
        const int result = handle->open(ArchiveData->ArcName, ArchiveData->OpenMode);
        ArchiveData->OpenResult = static_cast<unsigned>(result);
        if (result != 0) {
            return nullptr;
        }
        brisko::enginelib::ace::registerHandle(handle.get());
        return handle.release();
    } catch (const std::bad_alloc&) {
        ArchiveData->OpenResult = ACE_ERR_MEMORY;
    } catch (...) {
        ArchiveData->OpenResult = ACE_ERR_DAMAGED;
    }
    return nullptr;
}

int ACECloseArchive(void* hArcData) {
    if (!isHandle(hArcData)) {
        return ACE_ERR_HANDLE;
    }
    auto* handle = static_cast<AceHandle*>(hArcData);
    brisko::enginelib::ace::unregisterHandle(handle);
    int result = 0;
    try {
        result = handle->close();
    } catch (...) {
    }
    handle->invalidate();
    delete handle;
    return result;
}

int ACEReadHeader(void* hArcData, struct AceHeaderRecord* HeaderData) {
    if (!isHandle(hArcData) || HeaderData == nullptr) {
        return ACE_ERR_HANDLE;
    }
    try {
        return static_cast<AceHandle*>(hArcData)->readHeader(*HeaderData);
    } catch (const std::bad_alloc&) {
        return ACE_ERR_MEMORY;
    } catch (...) {
        return ACE_ERR_DAMAGED;
    }
}

int ACEProcessFile(void* hArcData, int Operation, char* DestFolder) {
    if (!isHandle(hArcData)) {
        return ACE_ERR_HANDLE;
    }
    try {
        return static_cast<AceHandle*>(hArcData)->processFile(Operation, DestFolder);
    } catch (const std::bad_alloc&) {
        return ACE_ERR_MEMORY;
    } catch (...) {
        return ACE_ERR_DAMAGED;
    }
}

void ACESetPassword(void* hArcData, char* Password) {
    if (!isHandle(hArcData)) {
        return;
    }
    try {
        static_cast<AceHandle*>(hArcData)->setPassword(Password);
    } catch (...) {
    }
}

void ACESetGuard(void* hArcData, const BriskoGuard* guard) {
    if (!isHandle(hArcData)) {
        return;
    }
    try {
        static_cast<AceHandle*>(hArcData)->setGuard(guard);
    } catch (...) {
    }
}
