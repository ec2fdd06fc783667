// SPDX-License-Identifier: MIT
// macOS has no io_uring; its survey reads sizes with the listing (getattrlistbulk) instead.
#include "stat_batch.h"

namespace brinvast {

class StatRing {};

void StatRingDeleter::operator()(StatRing* ring) const {
    delete ring;
}

StatRing* open_stat_ring() {
    return nullptr;
}

bool stat_in_ring(StatRing&, int, const std::vector<const char*>&, std::vector<std::int64_t>&) {
    return false;
}

}  // namespace brinvast
