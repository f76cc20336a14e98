// The engine's only exported symbol; everything else in the library is hidden.
#pragma GCC visibility push(default)
#include "api/unzip32.h"
#pragma GCC visibility pop

#include <new>

#include "unzip/ZipExtraction.h"

int Wiz_SingleEntryUnzip(int ifnc, char** ifnv, int xfnc, char** xfnv, DCL* C, USERFUNCTIONS* lpUserFunc) {
    using namespace brisko::enginelib;
    if (C == nullptr) {
        return kZipBadCall;
    }
    // Nothing may unwind into the caller's C frames.
    try {
        ZipExtraction extraction(ifnc, ifnv, xfnc, xfnv, *C, lpUserFunc);
        return extraction.run();
    } catch (const std::bad_alloc&) {
        return kZipNoMemory;
    } catch (...) {
        return kZipBroken;
    }
}
