// SPDX-License-Identifier: MIT
#pragma once

// Real SQLite databases in WAL mode, and what is left of them, as tests/e2e/wal_db.py makes and
// reads them for the end-to-end tests. Only the three functions of SQLite that the engine calls
// too, which are all that scripts/cross-macos links against.

#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "test_tree.h"

namespace brinvast::testing {

// A database of `rows` committed rows tagged `tag`, all but the first only in its -wal: the
// writer ends before any checkpoint.
inline void make_wal_database(const std::string& path, int rows, const std::string& tag) {
    make_dirs(std::filesystem::path(path).parent_path());
    const std::string sql =
        "pragma synchronous=off; create table t(tag text, n integer); insert into t values('" +
        tag +
        "', 0); pragma journal_mode=wal; pragma wal_autocheckpoint=0; begin; "
        "with recursive c(n) as (select 1 union all select n + 1 from c where n < " +
        std::to_string(rows - 1) + ") insert into t select '" + tag + "', n from c; commit";
    const int status = in_child([&] {
        sqlite3* db = nullptr;
        const int opened = ::sqlite3_open_v2(path.c_str(), &db,
                                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        return opened == SQLITE_OK &&
                       ::sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK
                   ? 0
                   : 1;  // no close, no checkpoint: the rows stay in the -wal
    });
    if (status != 0) std::abort();
}

// The rows of the set at `path` per tag ("live:1000 old:400"), read as SQLite reads them but
// from a copy, so that nothing is checkpointed; "none" without a database.
[[nodiscard]] inline std::string wal_rows(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return "none";
    const std::string real = fs::canonical(path);  // SQLite keeps the -wal beside the file
    static const TempDir scratch;
    const std::string copy = scratch / "copy.db";
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(copy + suffix);
    for (const char* suffix : {"", "-wal"}) {
        if (fs::exists(real + suffix)) fs::copy_file(real + suffix, copy + suffix);
    }
    std::string counted;
    sqlite3* db = nullptr;
    const auto add = [](void* text, int, char** values, char**) {
        std::string& rows = *static_cast<std::string*>(text);
        rows.append(rows.empty() ? "" : " ").append(values[0]).append(":").append(values[1]);
        return 0;
    };
    const bool read =
        ::sqlite3_open_v2(copy.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
        ::sqlite3_exec(
            db, "pragma synchronous=off; select tag, count(*) from t group by tag order by tag",
            add, &counted, nullptr) == SQLITE_OK;
    (void)::sqlite3_close(db);
    if (!read) return "unreadable";
    return counted.empty() ? "empty" : counted;
}

// The set whose main file each file's contents come from, by those contents.
using Owners = std::map<std::string, std::string>;

[[nodiscard]] inline std::string base_of(const std::string& name) {
    for (const std::string suffix : {"-wal", "-shm", "-journal"}) {
        if (name.ends_with(suffix)) return name.substr(0, name.size() - suffix.size());
    }
    return name;
}

[[nodiscard]] inline Owners owners_in(const std::string& folder) {
    Owners owners;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        owners[read_text(entry.path())] = base_of(entry.path().filename());
    return owners;
}

// "ok", or each name in `folder`, or in a folder in it, under which files of two sets stand, such
// as a main file and another's sidecar.
[[nodiscard]] inline std::string mixed_sets(const std::string& folder, const Owners& owners) {
    namespace fs = std::filesystem;
    std::vector<fs::path> places{folder};
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_directory()) places.push_back(entry.path());
    }
    std::string faults;
    for (const fs::path& place : places) {
        std::map<std::string, std::set<std::string>> sets;
        for (const auto& entry : fs::directory_iterator(place)) {
            if (!entry.is_regular_file()) continue;
            const auto owner = owners.find(read_text(entry.path()));
            sets[base_of(entry.path().filename())].insert(owner == owners.end() ? "unknown"
                                                                                : owner->second);
        }
        for (const auto& [base, origins] : sets) {
            if (origins.size() > 1) faults += place.filename().string() + "/" + base + " ";
        }
    }
    return faults.empty() ? "ok" : faults;
}

}  // namespace brinvast::testing
