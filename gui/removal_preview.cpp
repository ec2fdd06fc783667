// SPDX-License-Identifier: MIT
#include "removal_preview.h"

#include <chrono>
#include <exception>
#include <sstream>
#include <vector>

#include "report.h"
#include "tool_answers.h"

namespace {

using brinvast::Outcome;
using brinvast::RunSummary;
using brinvast::shown_text;

constexpr std::string_view WARNING = "⚠️";

// A size as the report writes it, or nothing where none was counted: a launch job or a receipt
// has none, and a tree that could not be measured shows 0, which would read as empty.
std::string size_of(const RunSummary::Removed& entry) {
    if (entry.bytes == 0) return "";
    return ", " + brinvast::format_mb(static_cast<double>(entry.bytes) / brinvast::BYTES_PER_MB) +
           " MB";
}

// A heading and one line per path, or nothing when there is no path.
void add_section(std::string& text, const char* heading,
                 const std::vector<RunSummary::Noted>& entries, const char* before_why,
                 const char* after_why) {
    if (entries.empty()) return;
    text += std::string("\n") + heading + "\n";
    for (const RunSummary::Noted& entry : entries) {
        text += "• " + shown_text(entry.path) + before_why + shown_text(entry.why) + after_why;
        text += "\n";
    }
}

// Where the dry run predicts that a real run would not succeed, its warnings, in the report's own
// words: what stands in the way is among them.
std::string obstacles(Outcome outcome, std::string_view report) {
    if (outcome != Outcome::failed && outcome != Outcome::brinvast_running) return "";
    std::string text = "As things stand, the uninstall would not succeed. The preview warns:\n";
    for (const std::string_view line : brinvast::lines_in(report)) {
        if (line.starts_with(WARNING)) text.append(line).append("\n");
    }
    return text + "\n";
}

}  // namespace

std::string preview_text(const RunSummary& summary, Outcome outcome, std::string_view report) {
    if (outcome == Outcome::home_busy) {
        return "No preview: another uninstall is running for this home.\n";
    }
    std::string text = obstacles(outcome, report);
    text += summary.removed.empty() ? "Nothing of Brinvast to remove.\n" : "Removes:\n";
    for (const RunSummary::Removed& entry : summary.removed)
        text += "• " + shown_text(entry.path) + " (" + entry.what + size_of(entry) + ")\n";
    add_section(text, "Keeps:", summary.kept, " (", ")");
    add_section(text, "Cannot examine:", summary.could_not_examine, ": ", "");
    return text;
}

std::string removal_preview(const brinvast::Locations& where, bool clean_all) {
    using std::chrono::seconds;
    try {
        std::ostringstream report;  // nobody reads it: the console shows real runs only
        brinvast::BrinvastUninstaller dry_run(
            true, true, clean_all, where, report,
            brinvast::RunOptions{.lock_patience = seconds(0),
                                 .from_window = true,
                                 .tool_limits = {.per_call = seconds(5), .per_run = seconds(10)}});
        (void)dry_run.run();  // its outcome says more than whether it succeeded
        return preview_text(dry_run.summary(), dry_run.outcome(), report.str());
    } catch (const std::exception& error) {
        return "No preview: " + shown_text(error.what()) + "\n";
    }
}
