// SPDX-License-Identifier: MIT
#include "move_journal.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <utility>
#include <vector>

#include "report.h"

namespace brinvast::database_move {

namespace {

constexpr const char* RECORD_HEADING = "brinvast-uninstall database move 1";

// The words of `line`, split at blanks.
std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    while (!line.empty()) {
        const std::size_t end = std::min(line.find(' '), line.size());
        if (end > 0) words.push_back(line.substr(0, end));
        line.remove_prefix(std::min(end + 1, line.size()));
    }
    return words;
}

std::optional<std::int64_t> number_in(std::string_view word) {
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), number);
    if (error != std::errc{} || end != word.data() + word.size()) return std::nullopt;
    return number;
}

// One "set suffix device inode size seconds nanoseconds" line into `manifest`.
bool parse_record_line(std::string_view line, Manifest& manifest) {
    const std::vector<std::string_view> words = words_of(line);
    if (words.size() != 7 || (words[0] != "live" && words[0] != "older")) return false;
    const auto suffix = std::ranges::find_if(
        SET_SUFFIXES, [&](const char* s) { return words[1] == (*s == '\0' ? "main" : s); });
    if (suffix == SET_SUFFIXES.end()) return false;
    std::array<std::int64_t, 5> numbers{};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const std::optional<std::int64_t> number = number_in(words[i + 2]);
        if (!number) return false;
        numbers[i] = *number;
    }
    SetIdentities& set = words[0] == "live" ? manifest.live : manifest.older;
    set[static_cast<std::size_t>(suffix - SET_SUFFIXES.begin())] =
        EntryIdentity{static_cast<std::uint64_t>(numbers[0]),
                      static_cast<std::uint64_t>(numbers[1]), numbers[2], numbers[3], numbers[4]};
    return true;
}

}  // namespace

std::string manifest_text(const Manifest& manifest) {
    std::string text = std::string(RECORD_HEADING) + "\n";
    for (const auto& [set, ids] : {std::pair{"live", &manifest.live}, {"older", &manifest.older}}) {
        for (std::size_t i = 0; i < SET_SIZE; ++i) {
            const std::optional<EntryIdentity>& id = (*ids)[i];
            if (!id) continue;
            text.append(set).append(" ").append(i == 0 ? "main" : SET_SUFFIXES[i]);
            for (const std::int64_t number :
                 {static_cast<std::int64_t>(id->device), static_cast<std::int64_t>(id->inode),
                  id->size, id->seconds, id->nanoseconds}) {
                text.push_back(' ');
                append_number(text, number);
            }
            text.push_back('\n');
        }
    }
    return text;
}

std::optional<Manifest> parse_manifest(std::string_view text) {
    const std::string heading = std::string(RECORD_HEADING) + "\n";
    if (!text.starts_with(heading) || !text.ends_with('\n')) return std::nullopt;
    text.remove_prefix(heading.size());
    Manifest manifest;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (!parse_record_line(text.substr(0, end), manifest)) return std::nullopt;
        text.remove_prefix(end + 1);
    }
    return manifest;
}

}  // namespace brinvast::database_move
