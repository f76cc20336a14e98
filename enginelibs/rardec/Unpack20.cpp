// Placeholder until the decoder is written.
#include "rardec/Decoders.h"

namespace brisko::rardec {

std::unique_ptr<Decoder> makeRar20Decoder() {
    return nullptr;
}

} // namespace brisko::rardec
