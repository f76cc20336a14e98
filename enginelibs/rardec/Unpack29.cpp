// Placeholder until the decoder is written.
#include "rardec/Decoders.h"

namespace brisko::rardec {

std::unique_ptr<Decoder> makeRar29Decoder(std::size_t) {
    return nullptr;
}

} // namespace brisko::rardec
