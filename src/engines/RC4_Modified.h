#pragma once

#include <string>

// The scrambling of the remembered password: a salted RC4 stream cipher whose keystream bytes are
// increased by the data length before the exclusive-or. Texts are runs of bytes 0 to 255.
namespace brisko::engines {

// The 18-byte base key, assembled from built-in pieces; it is never stored whole.
std::string MakeCipherKey();

// One salt byte followed by the scrambled bytes (same length as `plain`). The salt comes from a
// clock-seeded generator, so two calls normally differ.
std::string EncryptText(const std::string& plain);

// Reverses EncryptText. The empty text stays empty.
std::string DecryptText(const std::string& stored);

// The cipher core; applying it twice with the same key gives the data back. `key` must not be empty.
std::string RC4Transform(const std::string& data, const std::string& key);

} // namespace brisko::engines
