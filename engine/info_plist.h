#pragma once

// Complete removal deletes what macOS keeps under names made from the bundle identifier
// (~/Library/Preferences/<id>.plist, ~/Library/Caches/<id>, ~/Library/Containers/<id>), and the
// identifier comes from a file that whoever can write the bundle controls. So only a well-formed
// one comes out: ASCII letters, digits, "-" and "." between non-empty parts, at most 255 bytes,
// which no path built from it can be led out of its folder with. The file is opened without
// following a link on the way, read whole up to 1 MiB, and parsed without recursion in the two
// formats Apple writes, XML and binary (bplist00).

#include <optional>
#include <string>
#include <string_view>

namespace brinvast {

// What reading the bundle identifier found.
struct BundleIdentifier {
    std::optional<std::string> identifier;  // well-formed, when there is one
    std::string problem;                    // otherwise one sentence for the report
};

// The CFBundleIdentifier of the bundle at `bundle_path`, from its Contents/Info.plist.
[[nodiscard]] BundleIdentifier bundle_identifier(const std::string& bundle_path);

// The same from the contents of an Info.plist. A top-level key that appears twice is refused:
// parsers disagree on which one counts.
[[nodiscard]] BundleIdentifier bundle_identifier_in(std::string_view plist);

}  // namespace brinvast
