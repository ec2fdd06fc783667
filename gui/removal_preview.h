// SPDX-License-Identifier: MIT
#pragma once

// What a mode would remove and keep, shown behind "Show Details…" in its confirmations, so that
// a user consents knowing which paths go, how large they are, and which older backup standard
// mode replaces. It comes from a dry run taken as the box opens: the survey of a real run, with
// nothing changed and not a line on the console, which reports real runs only.

#include <string>
#include <string_view>

#include "locations.h"
#include "uninstaller.h"

// The details' words for a dry run that ended with `outcome`, found `summary` and wrote
// `report`: where a real run would not succeed, the report's warnings say why first. A name from
// the disk shows its control characters escaped; sizes read as the report writes them.
[[nodiscard]] std::string preview_text(const brinvast::RunSummary& summary,
                                       brinvast::Outcome outcome, std::string_view report);

// A dry run of the mode over `where`, in words for the details. It never waits: a home that
// another run holds gives no preview but a line that says so, as does an error that escapes the
// dry run, so that the question is asked all the same.
[[nodiscard]] std::string removal_preview(const brinvast::Locations& where, bool clean_all);
