// SPDX-License-Identifier: MIT
// The binary property-list reader, fed any bytes that begin as a binary property list does.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "plist_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Other files go to the XML reader, which has a target of its own; -1 keeps them out of the
    // corpus.
    if (!bytes.starts_with("bplist")) return -1;
    brinvast::fuzz::read_every_way(brinvast::plist::lookup_binary, bytes);
    return 0;
}
