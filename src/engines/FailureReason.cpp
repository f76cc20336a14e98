#include "engines/FailureReason.h"

#include "enginelibs/api/briskoguard.h"
#include "enginelibs/api/unace.h"
#include "enginelibs/api/unrar.h"

namespace brisko::engines {

namespace {

std::string about(const std::string& what, const std::string& entry) {
    return entry.empty() ? what : what + ": " + entry;
}

} // namespace

void NoteFailure(records::ExtractionResult& result, const std::string& reason) {
    if (result.FailureReason.empty() && !reason.empty()) {
        result.FailureReason = reason;
    }
}

std::string ZipLineReason(const std::string& line, const std::string& archive, const std::string& destination) {
    struct Head {
        const char* head;
        const char* kind;
    };
    static constexpr Head kHeads[] = {{"  refusing: ", "refused"}, {"     error: ", ""}, {"   skipping: ", "skipped"}};
    for (const Head& h : kHeads) {
        const std::string head = h.head;
        if (line.compare(0, head.size(), head) != 0) {
            continue;
        }
        std::string body = line.substr(head.size());
        while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) {
            body.pop_back();
        }
        const std::size_t open = body.rfind("  (");
        std::string name = open == std::string::npos ? body : body.substr(0, open);
        std::string why = open == std::string::npos || body.back() != ')'
                              ? std::string()
                              : body.substr(open + 3, body.size() - open - 4);
        if (name.compare(0, destination.size() + 1, destination + "/") == 0) {
            name = name.substr(destination.size() + 1);
        }
        if (std::string(h.kind) == "skipped") {
            // Only a password makes an entry skipped for good; the duplicate policy's skips say so.
            if (why == "no password") {
                return about("password needed", name);
            }
            return why == "incorrect password" ? about("wrong password", name) : std::string();
        }
        if (name == archive) {
            return why;
        }
        return std::string(h.kind) == "refused" ? "refused entry " + name + (why.empty() ? "" : " (" + why + ")")
                                                : about(why.empty() ? "cannot extract" : why, name);
    }
    return {};
}

std::string ZipCodeReason(int code) {
    switch (code) {
    case 1:
        return "refused entry";
    case 2:
        return "damaged data";
    case 3:
        return "damaged archive";
    case 4:
        return "not enough memory";
    case 9:
        return "not a ZIP archive";
    case 50:
        return "cannot write";
    case 80:
        return kCancelledReason;
    case 81:
        return "unsupported compression or encryption";
    case 82:
        return "wrong password";
    default:
        return "engine code " + std::to_string(code);
    }
}

std::string RarCodeReason(int code, const std::string& entry, bool password) {
    switch (code) {
    case ERAR_BAD_DATA:
        return about(password ? "wrong password or damaged data" : "damaged data", entry);
    case ERAR_EOPEN:
        return "missing volume";
    case ERAR_BAD_ARCHIVE:
        return entry.empty() ? "not a RAR archive, or damaged" : about("damaged archive", entry);
    case ERAR_UNKNOWN_FORMAT:
        return about("unsupported format", entry);
    case ERAR_ECREATE:
        return about("cannot create", entry);
    case ERAR_EWRITE:
        return about("cannot write", entry);
    case ERAR_NO_MEMORY:
        return "not enough memory";
    case ERAR_MISSING_PASSWORD:
        return "password needed";
    case BRISKO_CANCELLED:
        return kCancelledReason;
    default:
        return about("engine code " + std::to_string(code), entry);
    }
}

std::string AceCodeReason(int code, const std::string& entry, bool password) {
    switch (code) {
    case ACE_ERR_DAMAGED:
        return about(password ? "wrong password or damaged data" : "damaged data", entry);
    case ACE_ERR_OPEN:
        return "missing volume";
    case ACE_ERR_UNSUPPORTED:
        return about("unsupported format", entry);
    case ACE_ERR_CREATE:
        return about("cannot create", entry);
    case ACE_ERR_WRITE:
        return about("cannot write", entry);
    case ACE_ERR_MEMORY:
        return "not enough memory";
    case ACE_ERR_PASSWORD:
        return about(password ? "wrong password" : "password needed", entry);
    case BRISKO_CANCELLED:
        return kCancelledReason;
    default:
        return about("engine code " + std::to_string(code), entry);
    }
}

} // namespace brisko::engines
