#include "acedec/Status.h"

namespace brisko::acedec {

const char* describe(Status status) {
    switch (status) {
    case Status::Ok:
        return "ok";
    case Status::EndOfArchive:
        return "end of archive";
    case Status::NotAnArchive:
        return "not an ACE archive";
    case Status::Corrupt:
        return "corrupt archive";
    case Status::Unsupported:
        return "unsupported archive feature";
    case Status::MissingVolume:
        return "missing volume";
    case Status::NeedsPassword:
        return "password needed";
    case Status::BadPassword:
        return "wrong password or damaged data";
    case Status::CrcMismatch:
        return "CRC mismatch";
    case Status::Cancelled:
        return "cancelled";
    case Status::ReadError:
        return "read error";
    case Status::SolidChainBroken:
        return "an earlier entry of the solid archive was not decoded";
    case Status::InvalidCall:
        return "invalid call";
    }
    return "unknown status";
}

} // namespace brisko::acedec
