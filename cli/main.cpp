// brinvast-uninstall [--dry-run] [--complete] [--yes] [--help] [--version]
//
// Runs the uninstall engine without a window. The report goes to stdout exactly as a run from
// the window prints it; questions and usage errors go to stderr.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "confirmations.h"
#include "locations.h"
#include "uninstaller.h"

namespace {

enum ExitStatus {
    succeeded = 0,
    run_failed = 1,
    usage_error = 2,
    engine_error = 3,
    brinvast_running = 4,
};

const char* const usage =
    "Usage: brinvast-uninstall [--dry-run] [--complete] [--yes] [--help] [--version]\n"
    "\n"
    "Removes /Applications/Brinvast.app for the current user and keeps the database under its\n"
    "backup name (Brinvast_Previous.db). With --complete it also deletes every Brinvast\n"
    "directory in the home folder, database included.\n"
    "\n"
    "  --dry-run   report what would be done and change nothing\n"
    "  --complete  complete removal: delete all Brinvast data as well\n"
    "  --yes       consent to the removal without being asked\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "Without --yes a real run asks for consent when standard input is a terminal, and refuses\n"
    "otherwise.\n"
    "\n"
    "Exit status: 0 success (also when there was nothing to remove), 1 the run failed and was\n"
    "rolled back, 2 usage error, no consent or no home directory, 3 unexpected error, 4 the run\n"
    "stopped because Brinvast is running: quit Brinvast, then run again.\n";

struct Options {
    bool dry_run = false;
    bool complete = false;
    bool yes = false;
    bool help = false;
    bool version = false;
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--dry-run") {
            options.dry_run = true;
        } else if (argument == "--complete") {
            options.complete = true;
        } else if (argument == "--yes") {
            options.yes = true;
        } else if (argument == "--help") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else {
            std::cerr << "brinvast-uninstall: unknown option '" << argument << "'\n"
                      << "Try 'brinvast-uninstall --help'.\n";
            return std::nullopt;
        }
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

bool user_consents(const Options& options) {
    if (options.complete) {
        return confirmed(brinvast::complete_removal_warning) && confirmed(brinvast::final_warning);
    }
    return confirmed(brinvast::standard_question);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        (void)brinvast::program_locations();
    } catch (const brinvast::NoHomeDirectory& error) {
        std::cerr << "brinvast-uninstall: nothing was changed: " << error.what() << ".\n";
        return usage_error;
    }
    // A reader that goes away must not cut a run short: writes to a dead pipe just fail.
    std::signal(SIGPIPE, SIG_IGN);

    const std::optional<Options> options = parse(argc, argv);
    if (!options) return usage_error;
    if (options->help) {
        std::cout << usage;
        return succeeded;
    }
    if (options->version) {
        std::cout << "brinvast-uninstall 1.0\n";
        return succeeded;
    }

    const bool real_run = !options->dry_run;
    if (real_run && !options->yes) {
        if (!::isatty(STDIN_FILENO)) {
            std::cerr << "brinvast-uninstall: nothing was changed: a removal needs consent.\n"
                      << "Pass --yes, or run it in a terminal to be asked.\n";
            return usage_error;
        }
        if (!user_consents(*options)) {
            std::cerr << "Cancelled: nothing was changed.\n";
            return usage_error;
        }
    }

    try {
        brinvast::BrinvastUninstaller uninstaller(options->dry_run, real_run || options->yes,
                                                  options->complete);
        if (uninstaller.run()) return succeeded;
        return uninstaller.brinvast_running ? brinvast_running : run_failed;
    } catch (const std::exception& error) {
        std::cerr << "❌ " << error.what() << '\n';
        return engine_error;
    }
}
