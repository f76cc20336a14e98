#include "acedec/MemberDecoder.h"

#include "acedec/DecodeError.h"

#include <algorithm>

namespace brisko::acedec {

namespace {

// A DELTA block is buffered whole before it is reordered; the compressor never makes longer ones.
constexpr std::uint32_t kMaxDeltaLength = 65536;

} // namespace

MemberDecoder::MemberDecoder(Window* window, MemberOutput& out, std::uint64_t size)
    : m_window(window), m_out(out), m_size(size) {}

MemberDecoder::~MemberDecoder() = default;

void MemberDecoder::decode(Method method, ByteStream& packed, std::uint64_t packedSize) {
    if (method == Method::Stored) {
        decodeStored(packed, packedSize);
        return;
    }
    if (!m_window) {
        corrupt("no window for a compressed member");
    }
    BitReader bits(packed, packedSize);
    if (method == Method::Lz77) {
        decodeLz77(bits);
    } else {
        decodeBlocked(bits);
    }
    m_out.flush();
}

void MemberDecoder::decodeStored(ByteStream& packed, std::uint64_t packedSize) {
    if (packedSize < m_size) {
        corrupt("stored data shorter than declared");
    }
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(m_size, 64 * 1024)));
    while (m_produced < m_size) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), m_size - m_produced));
        if (packed.read(chunk.data(), want) != want) {
            fail(Status::ReadError, "stored data ends early");
        }
        if (m_window) {
            m_window->put(chunk.data(), want);
        }
        m_out.write(chunk.data(), want);
        m_produced += want;
    }
    m_out.flush();
}

void MemberDecoder::decodeLz77(BitReader& bits) {
    while (m_produced < m_size) {
        const int n = m_lz.decodeSymbol(bits, *m_window, m_stage.data(), false, m_size - m_produced);
        if (n == 1) {
            m_out.write(m_stage[0]);
        } else {
            m_out.write(m_stage.data(), static_cast<std::size_t>(n));
        }
        m_produced += static_cast<std::uint64_t>(n);
    }
}

void MemberDecoder::decodeBlocked(BitReader& bits) {
    while (m_produced < m_size) {
        switch (m_mode) {
        case kLz77:
        case kExe: {
            const int n = m_lz.decodeSymbol(bits, *m_window, m_stage.data(), true, m_size - m_produced);
            if (n == Lz77Decoder::kModeSwitch) {
                switchMode(bits);
                break;
            }
            m_produced += static_cast<std::uint64_t>(n);
            if (m_mode == kLz77 && n == 1) {
                m_out.write(m_stage[0]);
            } else if (m_mode == kLz77) {
                m_out.write(m_stage.data(), static_cast<std::size_t>(n));
            } else {
                exeFeed(m_stage.data(), static_cast<std::size_t>(n));
            }
            break;
        }
        case kDelta:
            runDelta(bits);
            break;
        case kPic: {
            if (!m_pic->decodeRow(bits)) {
                switchMode(bits);
                break;
            }
            // The last row may be cut: the member ends where its declared size says.
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_pic->width(), m_size - m_produced));
            m_window->put(m_pic->row(), n);
            m_out.write(m_pic->row(), n);
            m_produced += n;
            break;
        }
        default: { // the SOUND modes
            const int byte = m_sound->decodeByte(bits);
            if (byte == SoundDecoder::kModeSwitch) {
                switchMode(bits);
                break;
            }
            m_window->put(static_cast<std::uint8_t>(byte));
            m_out.write(static_cast<std::uint8_t>(byte));
            ++m_produced;
            break;
        }
        }
    }
    // Bytes held back for an E8/E9 operand that never came are passed on as they are.
    exeFlushUntranslated();
}

void MemberDecoder::switchMode(BitReader& bits) {
    const unsigned mode = bits.bits(8);
    if (mode > kPic) {
        corrupt("invalid mode");
    }
    if (mode == kDelta) {
        m_deltaDistance = bits.bits(8);
        m_deltaLength = bits.bits(17);
        if (m_deltaDistance == 0 || m_deltaLength > kMaxDeltaLength || m_deltaLength % m_deltaDistance != 0 ||
            m_deltaLength > m_size - m_produced) {
            corrupt("invalid DELTA block");
        }
    } else if (mode == kExe) {
        m_exeMode = bits.bits(8);
    }

    // Held-back EXE bytes go with the next run; only another EXE run translates them.
    if (m_mode == kExe && mode != kExe) {
        exeFlushUntranslated();
    }
    if (mode >= kSound8 && mode <= kSound32B) {
        if (!m_sound) {
            m_sound = std::make_unique<SoundDecoder>();
        }
        if (mode != m_mode) {
            m_sound->reset(mode);
        }
        m_sound->startRun();
    } else if (mode == kPic && m_mode != kPic) {
        if (!m_pic) {
            m_pic = std::make_unique<PicDecoder>();
        }
        m_pic->start(bits);
    }
    m_mode = mode;
}

void MemberDecoder::runDelta(BitReader& bits) {
    m_deltaBuffer.resize(m_deltaLength);
    std::size_t filled = 0;
    while (filled < m_deltaLength) {
        const int n = m_lz.decodeSymbol(bits, *m_window, m_stage.data(), false, m_deltaLength - filled);
        std::copy_n(m_stage.data(), n, m_deltaBuffer.data() + filled);
        filled += static_cast<std::size_t>(n);
    }
    m_produced += m_deltaLength;

    // The block holds `distance` planes one after another, each as running differences; the output
    // interleaves them again.
    for (auto& byte : m_deltaBuffer) {
        m_deltaSum = static_cast<std::uint8_t>(m_deltaSum + byte);
        byte = m_deltaSum;
    }
    const std::size_t planeSize = m_deltaLength / m_deltaDistance;
    m_deltaOut.resize(m_deltaLength);
    for (std::size_t p = 0; p < m_deltaDistance; ++p) {
        for (std::size_t k = 0; k < planeSize; ++k) {
            m_deltaOut[k * m_deltaDistance + p] = m_deltaBuffer[p * planeSize + k];
        }
    }
    m_out.write(m_deltaOut.data(), m_deltaOut.size());

    // The compressor always ends a DELTA block with a mode switch unless the member is complete.
    if (m_produced < m_size) {
        if (m_lz.decodeSymbol(bits, *m_window, m_stage.data(), true, m_size - m_produced) !=
            Lz77Decoder::kModeSwitch) {
            corrupt("DELTA block not followed by a mode switch");
        }
        switchMode(bits);
    }
}

void MemberDecoder::exeFeed(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        m_exePending[m_exeCount++] = bytes[i];
        // x86 CALL (E8) and JMP (E9) operands were made absolute by the compressor; make them relative
        // to the opcode's position in the member again. 32-bit CALL operands unless exe mode 0; JMP is
        // always 16-bit; either form waits for four bytes after the opcode.
        while (m_exeCount > 0) {
            const std::uint8_t op = m_exePending[0];
            if (op != 0xE8 && op != 0xE9) {
                m_out.write(op);
                std::copy_n(m_exePending.begin() + 1, m_exeCount - 1, m_exePending.begin());
                --m_exeCount;
                continue;
            }
            if (m_exeCount < 5) {
                break;
            }
            const auto pos = static_cast<std::uint32_t>(m_out.position());
            std::uint8_t* operand = m_exePending.data() + 1;
            std::size_t used = 3;
            if (op == 0xE8 && m_exeMode != 0) {
                std::uint32_t v = static_cast<std::uint32_t>(operand[0]) |
                                  static_cast<std::uint32_t>(operand[1]) << 8 |
                                  static_cast<std::uint32_t>(operand[2]) << 16 |
                                  static_cast<std::uint32_t>(operand[3]) << 24;
                v -= pos;
                for (int k = 0; k < 4; ++k) {
                    operand[k] = static_cast<std::uint8_t>(v >> (8 * k));
                }
                used = 5;
            } else {
                const auto v = static_cast<std::uint16_t>((operand[0] | operand[1] << 8) - pos);
                operand[0] = static_cast<std::uint8_t>(v);
                operand[1] = static_cast<std::uint8_t>(v >> 8);
            }
            m_out.write(m_exePending.data(), used);
            std::copy_n(m_exePending.begin() + static_cast<std::ptrdiff_t>(used), m_exeCount - used,
                        m_exePending.begin());
            m_exeCount -= used;
        }
    }
}

void MemberDecoder::exeFlushUntranslated() {
    m_out.write(m_exePending.data(), m_exeCount);
    m_exeCount = 0;
}

} // namespace brisko::acedec
