// SPDX-License-Identifier: MIT
#pragma once

// What both property-list fuzz targets do with their bytes: ask one reader for keys in each of
// the three ways the engine does, then the front door, and stop the run when an answer breaks a
// promise of info_plist.h. The sanitizers catch the rest.

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "info_plist.h"
#include "plist_values.h"

namespace brinvast::fuzz {

using Reader = plist::Lookup (*)(std::string_view, const plist::Wanted&);

// Keys that Info.plists, launch agents and entitlements are read for.
constexpr std::string_view KEYS[] = {"CFBundleIdentifier", "Label", "ProgramArguments",
                                     "com.apple.security.application-groups",
                                     "SMPrivilegedExecutables"};

inline void check(bool promise) {
    if (!promise) std::abort();
}

// Whether `identifier` is well-formed as info_plist.h promises, said once more, independently.
inline bool is_well_formed(std::string_view identifier) {
    const auto allowed = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.';
    };
    return !identifier.empty() && identifier.size() <= 255 && identifier.front() != '.' &&
           identifier.back() != '.' && identifier.find("..") == std::string_view::npos &&
           std::all_of(identifier.begin(), identifier.end(), allowed);
}

inline void read_every_way(Reader reader, std::string_view bytes) {
    for (const auto take : {plist::Take::string, plist::Take::first_of_array, plist::Take::list}) {
        const plist::Lookup found = reader(bytes, {KEYS, take});
        check(found.found.size() == std::size(KEYS));
        for (const plist::Found& key : found.found)
            check(!key.list || key.list->size() <= plist::MAX_LIST_SIZE);
    }
    // Only a well-formed identifier comes out, and then with no problem.
    const BundleIdentifier identifier = bundle_identifier_in(bytes);
    check(!identifier.identifier ||
          (!identifier.problem && is_well_formed(*identifier.identifier)));
}

}  // namespace brinvast::fuzz
