// SPDX-License-Identifier: MIT
// The code-signature reader, fed any bytes as an executable's contents. A group it gives names
// one folder under ~/Library/Group Containers, never another; the sanitizers catch the rest.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "code_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const brinvast::CodeSignature found = brinvast::code_signature_in(bytes);
    for (const std::string& group : found.groups) {
        if (group.empty() || group == "." || group.find("..") != std::string::npos ||
            group.find('/') != std::string::npos)
            std::abort();
    }
    return 0;
}
