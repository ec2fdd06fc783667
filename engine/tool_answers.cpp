// SPDX-License-Identifier: MIT
#include "tool_answers.h"

#include <algorithm>
#include <charconv>

#include "app_identities.h"
#include "names.h"

namespace brinvast {

namespace {

// launchctl's exit statuses, as `launchctl error <status>` explains them.
constexpr int NO_SUCH_PROCESS = 3;
constexpr int IN_PROGRESS = 36;
constexpr int NO_SUCH_DOMAIN = 112;
constexpr int NO_SUCH_SERVICE = 113;
constexpr int NOT_SUPPORTED_BY_DOMAIN = 125;

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
}

// The number at the start of `text`, or `otherwise`.
int number_in(std::string_view text, int otherwise) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end != text.data() ? value : otherwise;
}

// `url` as a path: a file URL's path with its %-escapes decoded, or a relative URL as it stands.
std::string path_of_url(std::string_view url) {
    constexpr std::string_view FILE_SCHEME = "file://";
    if (!url.starts_with(FILE_SCHEME)) return std::string(url);
    url.remove_prefix(FILE_SCHEME.size());
    std::string path;
    for (std::size_t i = 0; i < url.size(); ++i) {
        int byte = 0;
        if (url[i] == '%' && i + 2 < url.size() &&
            std::from_chars(url.data() + i + 1, url.data() + i + 3, byte, 16).ptr ==
                url.data() + i + 3) {
            path += static_cast<char>(byte);
            i += 2;
        } else {
            path += url[i];
        }
    }
    while (path.size() > 1 && path.ends_with('/'))
        path.pop_back();
    return path;
}

}  // namespace

std::string ToolAnswer::failure() const {
    if (problem) return problem.text;
    const std::vector<std::string_view> lines = lines_in(output);
    const auto said = std::ranges::find_if(
        lines.rbegin(), lines.rend(), [](std::string_view line) { return !trimmed(line).empty(); });
    if (said != lines.rend()) return std::string(*said);
    return "exit status " + std::to_string(status);
}

Check job_state(const ToolAnswer& print) {
    if (print.problem) return Check::cannot_tell;
    if (print.status == 0) return Check::left;
    return job_not_loaded(print) ? Check::done : Check::cannot_tell;
}

bool bootout_taken(const ToolAnswer& bootout) {
    return !bootout.problem && (bootout.status == 0 || bootout.status == IN_PROGRESS);
}

bool job_not_loaded(const ToolAnswer& answer) {
    return !answer.problem &&
           (answer.status == NO_SUCH_PROCESS || answer.status == NO_SUCH_SERVICE);
}

bool domain_missing(const ToolAnswer& answer) {
    return !answer.problem &&
           (answer.status == NO_SUCH_DOMAIN || answer.status == NOT_SUPPORTED_BY_DOMAIN);
}

// launchctl prints the job as "<target> = {", its properties one level in, and nested lists and
// dictionaries as "<key> = {" ... "}" further in. Only the job's own level counts: a nested
// dictionary may hold keys of the same names.
LoadedJob loaded_job_in(std::string_view print) {
    LoadedJob job;
    std::string first_argument;
    int depth = 0;
    bool in_arguments = false;
    for (const std::string_view raw : lines_in(print)) {
        const std::string_view line = trimmed(raw);
        if (line == "}") {
            in_arguments = false;
            depth = std::max(depth - 1, 0);
            continue;
        }
        if (in_arguments && depth == 2 && first_argument.empty()) first_argument = line;
        if (line.ends_with("= {")) {
            ++depth;
            in_arguments = depth == 2 && line.starts_with("arguments =");
            continue;
        }
        if (depth != 1) continue;
        if (line.starts_with("program = ")) job.program = line.substr(10);
        if (line.starts_with("pid = ")) job.pid = number_in(line.substr(6), 0);
        if (line.starts_with("exit timeout = ")) {
            job.exit_timeout = std::chrono::seconds(
                number_in(line.substr(15), static_cast<int>(job.exit_timeout.count())));
        }
    }
    if (job.program.empty()) job.program = first_argument;
    return job;
}

std::vector<std::string> receipts_in(std::string_view file_info) {
    constexpr std::string_view KEY = "pkgid: ";
    std::vector<std::string> receipts;
    for (const std::string_view line : lines_in(file_info)) {
        if (line.starts_with(KEY) && usable_name(line.substr(KEY.size()), true))
            receipts.emplace_back(line.substr(KEY.size()));
    }
    return receipts;
}

Check receipt_state(const ToolAnswer& pkg_info) {
    if (pkg_info.problem) return Check::cannot_tell;
    if (pkg_info.status == 0) return Check::left;
    return pkg_info.output.starts_with("No receipt for") ? Check::done : Check::cannot_tell;
}

std::string field_in(std::string_view text, std::string_view key) {
    for (const std::string_view line : lines_in(text)) {
        if (line.starts_with(key)) return std::string(line.substr(key.size()));
    }
    return {};
}

std::vector<std::string_view> lines_in(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        lines.push_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

// sfltool prints each entry as " #<n>:" and then "<Key>: <value>" lines; anything else (headers,
// a format that changed) is passed over.
std::vector<BackgroundItem> background_items_in(std::string_view dumpbtm,
                                                const std::string& parent_identifier,
                                                const std::string& parent_path) {
    std::vector<BackgroundItem> items;
    std::string relative_url;
    std::string parent;
    const auto close_item = [&] {
        const std::size_t dot = parent.find('.');
        if (!items.empty() && !relative_url.empty() && dot != std::string::npos &&
            same_name(std::string_view(parent).substr(dot + 1), parent_identifier)) {
            items.back().paths.push_back(parent_path + "/" + relative_url);
        }
        relative_url.clear();
        parent.clear();
    };
    for (const std::string_view raw : lines_in(dumpbtm)) {
        const std::string_view line = trimmed(raw);
        if (line.size() > 2 && line.front() == '#' && line.back() == ':' &&
            number_in(line.substr(1), -1) >= 0) {
            close_item();
            items.emplace_back();
            continue;
        }
        const std::size_t colon = line.find(": ");
        if (items.empty() || colon == std::string_view::npos) continue;
        const std::string_view key = line.substr(0, colon);
        const std::string_view value = trimmed(line.substr(colon + 2));
        BackgroundItem& item = items.back();
        if (key == "Name") item.name = value;
        if (key == "Parent Identifier") parent = value;
        if (key == "Executable Path" && value.starts_with('/')) item.paths.emplace_back(value);
        if (key != "URL") continue;
        const std::string path = path_of_url(value);
        if (path.starts_with('/')) {
            item.paths.push_back(path);
        } else {
            relative_url = path;
        }
    }
    close_item();
    return items;
}

bool requirement_names(std::string_view requirement, std::string_view identifier) {
    constexpr std::string_view KEYWORD = "identifier";
    for (std::size_t at = requirement.find(KEYWORD); at != std::string_view::npos;
         at = requirement.find(KEYWORD, at + 1)) {
        const bool starts_word = at == 0 || requirement[at - 1] == ' ' ||
                                 requirement[at - 1] == '(' || requirement[at - 1] == '\t';
        std::string_view rest = requirement.substr(at + KEYWORD.size());
        if (!starts_word || rest.empty() || (rest.front() != ' ' && rest.front() != '\t')) continue;
        rest = trimmed(rest);
        if (rest.starts_with('=')) rest = trimmed(rest.substr(1));
        std::string_view value;
        if (rest.starts_with('"')) {
            const std::size_t end = rest.find('"', 1);
            if (end == std::string_view::npos) return false;
            value = rest.substr(1, end - 1);
        } else {
            value = rest.substr(0, std::min(rest.find_first_of(" \t)"), rest.size()));
        }
        if (same_name(value, identifier)) return true;
    }
    return false;
}

}  // namespace brinvast
