#pragma once

#include "acedec/Status.h"

namespace brisko::acedec {

// Thrown inside the decoder when the data cannot go on; the archive calls catch it and turn it into
// their Status. Decoding is deep and symbol-by-symbol, so unwinding keeps every step free of checks
// for errors that never happen on valid data.
struct DecodeError {
    Status status;
    const char* reason; // a static English string
};

[[noreturn]] inline void fail(Status status, const char* reason) {
    throw DecodeError{status, reason};
}

[[noreturn]] inline void corrupt(const char* reason) {
    fail(Status::Corrupt, reason);
}

} // namespace brisko::acedec
