// The engine's exported symbols; everything else in the library is hidden.
#pragma GCC visibility push(default)
#include "api/briskoguard.h"
#include "api/unrar.h"
#pragma GCC visibility pop

#include <new>

#include "unrar/RarHandle.h"

using brisko::enginelib::rar::isHandle;
using brisko::enginelib::rar::RarHandle;

// Nothing may unwind into the caller's C frames: every entry point turns exceptions into codes.

void* RAROpenArchive(struct RAROpenArchiveData* data) {
    if (data == nullptr) {
        return nullptr;
    }
    data->CmtSize = 0;
    data->CmtState = 0;
    try {
        auto handle = std::make_unique<RarHandle>();
        const int result = handle->open(data->ArcName, data->OpenMode);
        data->OpenResult = static_cast<unsigned>(result);
        if (result != 0) {
            return nullptr;
        }
        brisko::enginelib::rar::registerHandle(handle.get());
        return handle.release();
    } catch (const std::bad_alloc&) {
        data->OpenResult = ERAR_NO_MEMORY;
    } catch (...) {
        data->OpenResult = ERAR_UNKNOWN;
    }
    return nullptr;
}

int RARCloseArchive(void* hArcData) {
    if (!isHandle(hArcData)) {
        return ERAR_ECLOSE;
    }
    auto* handle = static_cast<RarHandle*>(hArcData);
    brisko::enginelib::rar::unregisterHandle(handle);
    int result = ERAR_ECLOSE;
    try {
        result = handle->close();
    } catch (...) {
    }
    handle->invalidate();
    delete handle;
    return result;
}

int RARReadHeader(void* hArcData, struct RARHeaderData* HeaderData) {
    if (!isHandle(hArcData) || HeaderData == nullptr) {
        return ERAR_UNKNOWN;
    }
    try {
        return static_cast<RarHandle*>(hArcData)->readHeader(*HeaderData);
    } catch (const std::bad_alloc&) {
        return ERAR_NO_MEMORY;
    } catch (...) {
        return ERAR_UNKNOWN;
    }
}

int RARProcessFile(void* hArcData, int Operation, char* DestPath, char* DestName) {
    if (!isHandle(hArcData)) {
        return ERAR_UNKNOWN;
    }
    try {
        return static_cast<RarHandle*>(hArcData)->processFile(Operation, DestPath, DestName);
    } catch (const std::bad_alloc&) {
        return ERAR_NO_MEMORY;
    } catch (...) {
        return ERAR_UNKNOWN;
    }
}

void RARSetPassword(void* hArcData, char* Password) {
    if (!isHandle(hArcData)) {
        return;
    }
    try {
        static_cast<RarHandle*>(hArcData)->setPassword(Password);
    } catch (...) {
    }
}

void RARSetGuard(void* hArcData, const BriskoGuard* guard) {
    if (!isHandle(hArcData)) {
        return;
    }
    try {
        static_cast<RarHandle*>(hArcData)->setGuard(guard);
    } catch (...) {
    }
}
