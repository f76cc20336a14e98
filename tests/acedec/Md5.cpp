#include "Md5.h"

namespace brisko::acedec::test {

std::string Md5::hex() {
    std::uint8_t digest[MD5_DIGEST_SIZE];
    md5_digest(&m_context, sizeof digest, digest);
    std::string text;
    for (const std::uint8_t byte : digest) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 15];
    }
    return text;
}

} // namespace brisko::acedec::test
