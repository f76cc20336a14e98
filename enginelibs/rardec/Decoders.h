#pragma once

#include <cstddef>
#include <memory>

#include "rardec/Decoder.h"

// The decoders behind makeDecoder, one per RAR generation.
namespace brisko::rardec {

std::unique_ptr<Decoder> makeRar15Decoder();
std::unique_ptr<Decoder> makeRar20Decoder();
std::unique_ptr<Decoder> makeRar29Decoder(std::size_t dictionarySize);
std::unique_ptr<Decoder> makeRar50Decoder(std::size_t dictionarySize);

} // namespace brisko::rardec
