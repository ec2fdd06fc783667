// SPDX-License-Identifier: MIT
// brinvast-uninstall [--dry-run] [--complete] [--check] [--yes] [--user NAME | --all-users]
//                    [--json] [--wait SECONDS] [--help] [--version]
//
// Runs the uninstall engine without a window. The report goes to stdout exactly as a run from
// the window prints it, or, with --json, one JSON object for scripts; questions and usage errors
// go to stderr. Output that is all a caller asked for (help, version, a dry run's report, a
// check's list) and that could not be written is a failure; a real run finishes whether or not
// anybody reads its report.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "confirmations.h"
#include "exit_status.h"
#include "homes.h"
#include "locations.h"
#include "runs.h"
#include "uninstaller.h"

namespace {

using enum brinvast::cli::ExitStatus;

// How long a run waits by default for another run for the same home to finish.
constexpr long DEFAULT_WAIT_SECONDS = 60;
constexpr long MAX_WAIT_SECONDS = 24 * 60 * 60;

const char* const USAGE =
    "Usage: brinvast-uninstall [--dry-run] [--complete] [--check] [--yes]\n"
    "                          [--user NAME | --all-users] [--json] [--wait SECONDS]\n"
    "                          [--help] [--version]\n"
    "\n"
    "Removes /Applications/Brinvast.app for the current user and keeps the database under its\n"
    "backup name (Brinvast_Previous.db). With --complete it also deletes every Brinvast\n"
    "directory in the home folder, database included.\n"
    "\n"
    "  --dry-run    report what would be done and change nothing; the exit status is the one a\n"
    "               real run would have, as far as can be told beforehand\n"
    "  --complete   complete removal: delete all Brinvast data as well\n"
    "  --check      change nothing and ask for no consent: list what is left of Brinvast, and\n"
    "               exit with 0 when nothing is, 7 when something is\n"
    "  --yes        consent to the removal without being asked\n"
    "  --user NAME  work on the home of user NAME, as the user database gives it, instead of\n"
    "               HOME; only root may name another user, and system accounts and users\n"
    "               without a home are refused\n"
    "  --all-users  as root: work on the home of every regular user, one after the other\n"
    "  --json       write one JSON object to standard output instead of the report\n"
    "  --wait SECONDS  how long to wait for another uninstall for the same home to finish\n"
    "               (60 by default, 0 not at all) before giving up with nothing changed\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "\n"
    "As root, name the user: --user NAME or --all-users, unless HOME is a user's home.\n"
    "Without --yes a real run asks for consent when standard input is a terminal, and refuses\n"
    "otherwise. A real run completes, and its exit status tells its outcome, even when nobody\n"
    "reads its report. --help, --version, --dry-run and --check fail when their output cannot\n"
    "be written completely.\n"
    "\n"
    "Exit status: 0 success (also when there was nothing to remove), 1 the run failed and was\n"
    "rolled back, 2 usage error, no consent, no home directory or a refused user, 3 unexpected\n"
    "error, 4 the run stopped because Brinvast is running (quit Brinvast, then run again), 5 the\n"
    "output of --help, --version, --dry-run or --check could not be written completely, 6\n"
    "another uninstall for the same home went on for longer than --wait allows: nothing was\n"
    "changed, 7 --check found something of Brinvast left. For several users, the most serious\n"
    "of theirs, in the order 3, 1, 4, 6, 7, 0.\n";

struct Options {
    bool dry_run = false;
    bool complete = false;
    bool check = false;
    bool yes = false;
    bool json = false;
    brinvast::cli::HomeChoice homes;
    long wait_seconds = DEFAULT_WAIT_SECONDS;
};

void complain(const std::string& problem) {
    std::cerr << "brinvast-uninstall: " << problem << "\n"
              << "Try 'brinvast-uninstall --help'.\n";
}

// Plain decimal digits only: no sign, no blanks, nothing after them.
bool parse_seconds(std::string_view text, long& seconds) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size() &&
           seconds >= 0 && seconds <= MAX_WAIT_SECONDS && std::isdigit(text.front()) != 0;
}

// An option with a value given twice: which one was meant cannot be told, so neither is taken.
bool repeated(const std::string& option, std::vector<std::string>& given) {
    if (std::ranges::find(given, option) == given.end()) {
        given.push_back(option);
        return false;
    }
    complain("option '" + option + "' given more than once");
    return true;
}

// Whether `option` stands among the arguments: --help and --version are answered whatever else
// the call names.
bool asks(int argc, char** argv, std::string_view option) {
    return std::any_of(argv + 1, argv + argc,
                       [option](const char* word) { return word == option; });
}

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    std::vector<std::string> given;  // the options with a value met so far
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if ((argument == "--user" || argument == "--wait") && repeated(argument, given)) {
            return std::nullopt;
        }
        if (argument == "--dry-run") {
            options.dry_run = true;
        } else if (argument == "--complete") {
            options.complete = true;
        } else if (argument == "--check") {
            options.check = true;
        } else if (argument == "--yes") {
            options.yes = true;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--all-users") {
            options.homes.all_users = true;
        } else if (argument == "--user") {
            if (++i == argc) {
                complain("option '--user' needs a user name");
                return std::nullopt;
            }
            options.homes.user = argv[i];
        } else if (argument == "--wait") {
            if (++i == argc || !parse_seconds(argv[i], options.wait_seconds)) {
                complain("option '--wait' needs a number of seconds from 0 to " +
                         std::to_string(MAX_WAIT_SECONDS));
                return std::nullopt;
            }
        } else {
            complain("unknown option '" + argument + "'");
            return std::nullopt;
        }
    }
    if (options.homes.user && options.homes.all_users) {
        complain("options '--user' and '--all-users' name different homes");
        return std::nullopt;
    }
    return options;
}

// Shows one confirmation on stderr; only "y" or "yes" consents, and end of input does not.
bool confirmed(const brinvast::Confirmation& question) {
    std::cerr << '\n' << question.title << "\n\n" << question.text << "\n[y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return answer == "y" || answer == "yes";
}

bool user_consents(const Options& options, const brinvast::Locations& where) {
    if (options.complete) {
        const std::string warning =
            brinvast::complete_removal_text(brinvast::product_folders_in_icloud(where));
        return confirmed({brinvast::COMPLETE_REMOVAL_WARNING.title, warning.c_str()}) &&
               confirmed(brinvast::FINAL_WARNING);
    }
    return confirmed(brinvast::STANDARD_QUESTION);
}

// How long the system's tools may take. BRINVAST_TOOL_LIMITS="<per call>,<per run>", in
// milliseconds, may lower the limits (a test that must not wait 30 seconds for a tool that never
// answers), never raise them.
brinvast::ToolLimits tool_limits() {
    brinvast::ToolLimits limits;
    const char* given = std::getenv("BRINVAST_TOOL_LIMITS");
    if (given == nullptr) return limits;
    const std::string_view text(given);
    const std::size_t comma = text.find(',');
    const auto lowered = [](std::string_view number, std::chrono::milliseconds& limit) {
        long milliseconds = 0;
        const auto [end, error] =
            std::from_chars(number.data(), number.data() + number.size(), milliseconds);
        if (error == std::errc{} && end == number.data() + number.size() && milliseconds > 0)
            limit = std::min(limit, std::chrono::milliseconds(milliseconds));
    };
    lowered(text.substr(0, comma), limits.per_call);
    if (comma != std::string_view::npos) lowered(text.substr(comma + 1), limits.per_run);
    return limits;
}

// `status`, unless standard output lost some of `what`: then a caller that wanted only that
// output must not take silence for it.
int written(int status, const char* what) {
    std::cout.flush();
    if (!std::cout.fail()) return status;
    std::cerr << "brinvast-uninstall: " << what << " could not be written to standard output.\n";
    return output_lost;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away must not cut a run short: writes to a dead pipe just fail.
    std::signal(SIGPIPE, SIG_IGN);

    // Answered before anything else is judged: asking how to call the program never fails on
    // what the call names.
    if (asks(argc, argv, "--help")) {
        std::cout << USAGE;
        return written(succeeded, "the help text");
    }
    if (asks(argc, argv, "--version")) {
        std::cout << "brinvast-uninstall 1.0\n";
        return written(succeeded, "the version");
    }
    const std::optional<Options> options = parse(argc, argv);
    if (!options) return usage_error;
    const std::optional<std::vector<brinvast::cli::Home>> homes =
        brinvast::cli::homes_of(options->homes);
    if (!homes) return usage_error;

    const bool real_run = !options->dry_run && !options->check;
    if (real_run && !options->yes) {
        if (!::isatty(STDIN_FILENO)) {
            std::cerr << "brinvast-uninstall: nothing was changed: a removal needs consent.\n"
                      << "Pass --yes, or run it in a terminal to be asked.\n";
            return usage_error;
        }
        if (homes->empty() || !user_consents(*options, homes->front().where)) {
            std::cerr << "Cancelled: nothing was changed.\n";
            return usage_error;
        }
    }
    const int status =
        brinvast::cli::run_homes({.dry_run = options->dry_run,
                                  .complete = options->complete,
                                  .force = real_run || options->yes,
                                  .check = options->check,
                                  .json = options->json,
                                  .all_users = options->homes.all_users,
                                  .lock_patience = std::chrono::seconds(options->wait_seconds),
                                  .tool_limits = tool_limits()},
                                 *homes);
    return real_run ? status
                    : written(status, options->check ? "the check's list" : "the dry run's report");
}
