#pragma once

#include <cstring>
#include <string>

// Small text rules the RAR and ACE adapters share for what they show.
namespace brisko::engines {

// The part of a path after its last '/'.
inline std::string FileNameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The archive line while a volume is read: the volume's file name in lower case, from an engine's
// fixed-size name field (which ends at its first zero byte).
inline std::string VolumeLabel(const char* field, std::size_t size) {
    std::string name = FileNameOf(std::string(field, strnlen(field, size)));
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return name;
}

} // namespace brisko::engines
