#pragma once

#include <string>

#include "records/ProcessState.h"

// Why an archive did not come out, in words a user can act on ("wrong password: secret.txt",
// "missing volume", "not enough free space"). The first reason found for an archive stands.
namespace brisko::engines {

void NoteFailure(records::ExtractionResult& result, const std::string& reason);

inline constexpr const char* kCannotOpenReason = "cannot be opened";
inline constexpr const char* kEngineMissingReason = "the engine library is missing";
inline constexpr const char* kCancelledReason = "cancelled";

// The reason a ZIP engine progress line gives, when it tells of an entry that failed: "refusing:"
// and "error:" lines, and "skipping:" lines for a password. `destination` is cut off the path.
// Empty for any other line.
std::string ZipLineReason(const std::string& line, const std::string& archive, const std::string& destination);

// The reason for a ZIP engine result code, when no line told more.
std::string ZipCodeReason(int code);

// The reason for a RAR or ACE engine code about `entry` (empty for the archive itself); `password`
// whether a password was in use.
std::string RarCodeReason(int code, const std::string& entry, bool password);
std::string AceCodeReason(int code, const std::string& entry, bool password);

} // namespace brisko::engines
