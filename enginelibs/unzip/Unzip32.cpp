// The engine's exported symbols; everything else in the library is hidden.
#pragma GCC visibility push(default)
#include "api/briskoguard.h"
#include "api/unzip32.h"
#pragma GCC visibility pop

#include <new>

#include "unzip/ZipExtraction.h"

int Wiz_SingleEntryUnzip(int ifnc, char** ifnv, int xfnc, char** xfnv, DCL* C, USERFUNCTIONS* lpUserFunc) {
    return Wiz_SingleEntryUnzipGuarded(ifnc, ifnv, xfnc, xfnv, C, lpUserFunc, nullptr);
}

int Wiz_SingleEntryUnzipGuarded(int ifnc, char** ifnv, int xfnc, char** xfnv, DCL* C, USERFUNCTIONS* lpUserFunc,
                                const BriskoGuard* guard) {
    using namespace brisko::enginelib;
    if (C == nullptr) {
        return kZipBadCall;
    }
    // Nothing may unwind into the caller's C frames.
    try {
        ZipExtraction extraction(ifnc, ifnv, xfnc, xfnv, *C, lpUserFunc, guard);
        return extraction.run();
    } catch (const std::bad_alloc&) {
        return kZipNoMemory;
    } catch (...) {
        return kZipBroken;
    }
}
