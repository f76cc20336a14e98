// Placeholder until the model is written.
#include "rardec/Ppmd.h"

namespace brisko::rardec {

struct PpmdModel::Impl {};

PpmdModel::PpmdModel() = default;
PpmdModel::~PpmdModel() = default;
bool PpmdModel::restart(std::size_t, int) {
    return false;
}
bool PpmdModel::valid() const {
    return false;
}
void PpmdModel::startBlock(BitInput&) {}
int PpmdModel::decodeSymbol(BitInput&) {
    return -1;
}
void PpmdModel::reset() {}

} // namespace brisko::rardec
