#pragma once

#include "acedec/BitReader.h"
#include "acedec/Lz77Decoder.h"
#include "acedec/MemberOutput.h"
#include "acedec/PicDecoder.h"
#include "acedec/SoundDecoder.h"
#include "acedec/Window.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace brisko::acedec {

enum class Method : std::uint8_t { Stored = 0, Lz77 = 1, Blocked = 2 };

// Decodes the data of one member: exactly `size` bytes go to `out` and, for a window, into it.
// Everything but the window starts afresh for each member. Throws DecodeError on damaged data,
// Cancelled when the output's consumer stops.
class MemberDecoder {
public:
    // `window` may be null for stored members whose bytes need not be remembered.
    MemberDecoder(Window* window, MemberOutput& out, std::uint64_t size);
    ~MemberDecoder();

    void decode(Method method, ByteStream& packed, std::uint64_t packedSize);

private:
    // ACE 2.0 modes.
    enum Mode : unsigned { kLz77 = 0, kDelta = 1, kExe = 2, kSound8 = 3, kSound32B = 6, kPic = 7 };

    void decodeStored(ByteStream& packed, std::uint64_t packedSize);
    void decodeLz77(BitReader& bits);
    void decodeBlocked(BitReader& bits);
    void switchMode(BitReader& bits);
    void runDelta(BitReader& bits);
    void exeFeed(const std::uint8_t* bytes, std::size_t count);
    void exeFlushUntranslated();

    Window* m_window;
    MemberOutput& m_out;
    std::uint64_t m_size;
    std::uint64_t m_produced = 0; // bytes that entered the window (output may lag behind: EXE)

    Lz77Decoder m_lz;
    std::array<std::uint8_t, Lz77Decoder::kMaxMatch> m_stage{};
    unsigned m_mode = kLz77;

    unsigned m_exeMode = 0;
    std::array<std::uint8_t, 8> m_exePending{};
    std::size_t m_exeCount = 0;

    unsigned m_deltaDistance = 0;
    std::uint32_t m_deltaLength = 0;
    std::uint8_t m_deltaSum = 0;
    std::vector<std::uint8_t> m_deltaBuffer;
    std::vector<std::uint8_t> m_deltaOut;

    std::unique_ptr<SoundDecoder> m_sound;
    std::unique_ptr<PicDecoder> m_pic;
};

} // namespace brisko::acedec
