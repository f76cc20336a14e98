#pragma once

namespace brisko::acedec {

// The outcome of every archive call. Values other than Ok and EndOfArchive are failures; the
// archive's errorDetail() then holds a short English reason.
enum class Status {
    Ok,
    EndOfArchive,     // nextEntry: no further entry
    NotAnArchive,     // no ACE main header within the search limit of the first volume
    Corrupt,          // a damaged or malformed header or data stream (includes truncation)
    Unsupported,      // a well-formed archive using something this decoder does not know (a new method)
    MissingVolume,    // a volume needed to go on could not be opened
    NeedsPassword,    // the entry is encrypted and no password was set; nothing was consumed
    BadPassword,      // the entry is encrypted and decoding failed: wrong password or damaged data
    CrcMismatch,      // the data decoded completely but its CRC differs from the stored one
    Cancelled,        // the sink or progress callback asked to stop
    ReadError,        // a byte source failed to deliver bytes it claimed to have
    SolidChainBroken, // solid archive: an earlier member was not decoded, so this one cannot be
    InvalidCall,      // the call does not fit the archive's state (not open, no current entry...)
};

// A short English name for the status, such as "corrupt archive".
const char* describe(Status status);

} // namespace brisko::acedec
