// SPDX-License-Identifier: MIT
#pragma once

// The questions a user answers before anything is removed. Both front ends ask them, so
// that the window and the command line confirm the same things in the same words.

#include <string>
#include <vector>

namespace brinvast {

struct Confirmation {
    const char* title;
    const char* text;
};

inline constexpr Confirmation STANDARD_QUESTION{
    "Confirm Standard Uninstall",
    "This will:\n• Remove Brinvast.app from Applications\n• Backup your database\n\nProceed?"};

inline constexpr Confirmation COMPLETE_REMOVAL_WARNING{
    "⚠️ WARNING: Complete Removal",
    "⚠️ THIS IS DESTRUCTIVE AND CANNOT BE UNDONE!\n\nThis will PERMANENTLY DELETE:\n"
    "• Brinvast.app from Applications\n• ALL your databases and data\n"
    "• ALL Brinvast directories\n• ALL your imported messages\n• ALL your reports\n\n"
    "Are you absolutely sure?"};

inline constexpr Confirmation FINAL_WARNING{
    "⚠️ FINAL WARNING",
    "This will PERMANENTLY DELETE ALL your Brinvast data!\n\nAre you absolutely sure?"};

// The complete removal's warning, naming each product folder that iCloud Drive keeps: deleting
// it here deletes it in iCloud too, and on every Mac signed in to the account.
[[nodiscard]] inline std::string complete_removal_text(const std::vector<std::string>& in_icloud) {
    std::string text = COMPLETE_REMOVAL_WARNING.text;
    if (in_icloud.empty()) return text;
    std::string note =
        "☁️ iCloud Drive keeps these: they will be deleted from iCloud and from "
        "every Mac signed in to this account too:\n";
    for (const std::string& folder : in_icloud)
        note += "• " + folder + "\n";
    return text.insert(text.rfind("Are you absolutely sure?"), note + "\n");
}

}  // namespace brinvast
