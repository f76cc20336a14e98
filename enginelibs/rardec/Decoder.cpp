#include "rardec/Decoder.h"

#include "rardec/Decoders.h"

namespace brisko::rardec {

std::unique_ptr<Decoder> makeDecoder(unsigned unpackVersion, std::size_t dictionarySize) {
    if (unpackVersion <= 15) {
        return makeRar15Decoder();
    }
    if (unpackVersion == 20 || unpackVersion == 26) {
        return makeRar20Decoder();
    }
    if (unpackVersion == 29 || unpackVersion == 36) {
        return makeRar29Decoder(dictionarySize);
    }
    if (unpackVersion == 50) {
        return makeRar50Decoder(dictionarySize);
    }
    return nullptr;
}

} // namespace brisko::rardec
