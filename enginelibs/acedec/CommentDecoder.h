#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace brisko::acedec {

// Unpacks an archive or file comment (a Huffman-coded stream with matches found through a hash of the
// two previous bytes). Empty when the comment is damaged: comments are informational, never a reason
// to refuse an archive.
std::optional<std::string> decodeComment(std::span<const std::uint8_t> packed);

} // namespace brisko::acedec
