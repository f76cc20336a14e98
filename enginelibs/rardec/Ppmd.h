#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "rardec/BitInput.h"

namespace brisko::rardec {

// PPMd variant H as RAR 2.9 uses it: the model (the same as 7z's PPMd7) with RAR's own range decoder.
// The RAR 2.9 decoder reads each PPMd block header itself and drives this model.
class PpmdModel {
public:
    PpmdModel();
    ~PpmdModel();
    PpmdModel(const PpmdModel&) = delete;
    PpmdModel& operator=(const PpmdModel&) = delete;

    // (Re)allocates `memoryBytes` of model memory (1 to 256 MiB) and restarts the model with
    // `maxOrder` (2 to 64). False when the memory cannot be had or the order is out of range; the
    // model is then invalid.
    bool restart(std::size_t memoryBytes, int maxOrder);

    // Whether a model exists (a block without restart continues it; without one it is a data error).
    bool valid() const;

    // Starts a block: the range decoder takes its first four bytes from `input`, which must be
    // byte-aligned; it reads whole bytes from it from then on.
    void startBlock(BitInput& input);

    // The next decoded byte (0..255), or -1 for a data error.
    int decodeSymbol(BitInput& input);

    // Forgets the model (a non-solid start).
    void reset();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace brisko::rardec
