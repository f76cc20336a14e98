// Writes the packed data of every compressed entry of the RAR samples given on the command line as
// seed files for the decoder fuzz targets: <folder>/<version>/<n>, each prefixed with the four bytes
// the targets read first (unpacked size, dictionary flag).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "unrar/Archive.h"
#include "unrar/PlainStream.h"

int main(int argc, char** argv) {
    using namespace brisko::enginelib::rar;
    if (argc < 3) {
        std::fprintf(stderr, "usage: rardec_seeds FOLDER ARCHIVE...\n");
        return 2;
    }
    int written = 0;
    for (int i = 2; i < argc; ++i) {
        Volumes volumes;
        volumes.add(argv[i]);
        KeyCache keys;
        Archive archive;
        bool needsPassword = false;
        if (!volumes.open(0) || scanArchive(volumes, nullptr, keys, archive, needsPassword) != 0) {
            continue;
        }
        for (const Entry& entry : archive.entries) {
            if (entry.folder || entry.encrypted || entry.method == 0x30 || entry.packedSize > (1u << 20)) {
                continue;
            }
            const unsigned version = entry.unpackVersion <= 15 ? 15 : entry.unpackVersion == 26 ? 20
                                   : entry.unpackVersion == 36                                 ? 29
                                                                                               : entry.unpackVersion;
            std::string seed(4 + entry.packedSize, '\0');
            const auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(entry.unpackedSize, 0x3FFFFF));
            seed[0] = static_cast<char>(size);
            seed[1] = static_cast<char>(size >> 8);
            seed[2] = static_cast<char>(size >> 16);
            seed[3] = 1;
            if (!readPieces(volumes, entry.pieces, 0, reinterpret_cast<std::uint8_t*>(&seed[4]), entry.packedSize)) {
                continue;
            }
            const std::filesystem::path folder = std::filesystem::path(argv[1]) / std::to_string(version);
            std::filesystem::create_directories(folder);
            std::ofstream(folder / std::to_string(++written), std::ios::binary) << seed;
        }
    }
    std::printf("%d seeds\n", written);
    return 0;
}
