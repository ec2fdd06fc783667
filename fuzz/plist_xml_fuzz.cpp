// SPDX-License-Identifier: MIT
// The XML property-list reader, fed any bytes.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "plist_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Such a file goes to the binary reader, which has a target of its own; -1 keeps it out of
    // the corpus.
    if (bytes.starts_with("bplist")) return -1;
    brinvast::fuzz::read_every_way(brinvast::plist::lookup_xml, bytes);
    return 0;
}
