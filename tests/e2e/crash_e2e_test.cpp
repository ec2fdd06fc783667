// The database set survives a kill at any rename or unlink, every signal that ends a run, and a
// second run at once: real SQLite databases in WAL mode, whose rows are counted afterwards.

#include <gmock/gmock.h>

#include <map>
#include <sstream>

#include "sandbox.h"

namespace brinvast::testing {
namespace {

using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using CrashEndToEnd = Sandbox;

const std::string folder_listing =
    "Brinvast_Previous.db Brinvast_Previous.db-shm Brinvast_Previous.db-wal ";
const std::string untouched = "live:1000 | old:400";
const std::string backed_up = "none | live:1000";
const std::string rolled_back = "live:1000 | none";  // the older backup had been replaced

// Each line of `text` as its tab-separated "key=value" fields.
std::vector<std::map<std::string, std::string>> records_of(const std::string& text) {
    std::vector<std::map<std::string, std::string>> records;
    for (const std::string& line : lines_of(text)) {
        std::map<std::string, std::string> record;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) {
            const auto equals = field.find('=');
            record[field.substr(0, equals)] = field.substr(equals + 1);
        }
        records.push_back(record);
    }
    return records;
}

// Kills the command line at the 1st, 2nd, ... rename, then unlink, until a run completes; and at
// each rename of the rollback that Ctrl-C at the start of the move brings about. After each kill:
// no main file beside another set's sidecar; a dry run puts a cut-short move right with one line
// and finds each set whole under its own names (the live one perhaps under the backup name);
// then a real run leaves the live set whole under the backup name.
TEST_F(CrashEndToEnd, KillAtAnyRenameOrUnlinkLosesNoRow) {
    const Outcome run = sandboxed(R"sh(status=0
for kind in rename unlink rollback; do
    n=1
    while :; do
        install_wal_product
        case $kind in
        rollback) inject=(-e inject=mkdirat:signal=INT:when=1
                          -e "inject=/^rename:signal=KILL:when=$((n + 8))") ;;
        *) inject=(-e "inject=/^$kind:signal=KILL:when=$n") ;;
        esac
        { ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -o /dev/null \
            "${inject[@]}" "$CLI" --yes </dev/null >/dev/null 2>&1; } 2>/dev/null
        killed=$?
        mixed=$(wal_mixed)
        journals=$(find "$(dirname "$db")" -maxdepth 1 -name '.brinvast-*' | wc -l)
        "$CLI" --dry-run </dev/null >"$out/dry" 2>&1
        dry=$?
        kept="$(wal_rows "$db") | $(wal_rows "$backup")"
        "$CLI" --yes </dev/null >/dev/null 2>&1
        real=$?
        printf '%s\t' "case=$kind $n" "killed=$killed" "mixed=$mixed" "journals=$journals" \
            "dry=$dry" "recovered=$(grep -c '^🔄 ' "$out/dry")" \
            "clean=$(grep -c 'already clean' "$out/dry")" "kept=$kept" "real=$real" \
            "final=$(wal_rows "$db") | $(wal_rows "$backup")" \
            "left=$(ls -A "$(dirname "$db")" | tr '\n' ' ')" >>"$out/stdout"
        echo >>"$out/stdout"
        [ "$killed" -eq 137 ] || break
        n=$((n + 1))
    done
done)sh");
    ASSERT_EQ(run.status, "0") << run.err;
    std::map<std::string, int> kills;
    int journals_met = 0;
    for (auto record : records_of(run.out)) {
        SCOPED_TRACE(record["case"]);
        const std::string kind = record["case"].substr(0, record["case"].find(' '));
        if (record["killed"] == "137") {
            ++kills[kind];
        } else {
            EXPECT_EQ(record["killed"], kind == "rollback" ? "1" : "0") << "the run's own end";
        }
        EXPECT_EQ(record["mixed"], "ok");
        EXPECT_EQ(record["dry"], "0");
        EXPECT_EQ(record["recovered"], record["journals"]) << "one line per cut-short move";
        journals_met += record["journals"] == "1" ? 1 : 0;
        EXPECT_THAT(record["kept"], AnyOf(untouched, backed_up, rolled_back));
        if (record["clean"] == "1") {
            EXPECT_EQ(record["kept"], backed_up) << "already clean only once the set has moved";
        }
        EXPECT_EQ(record["real"], "0");
        EXPECT_EQ(record["final"], backed_up);
        EXPECT_EQ(record["left"], folder_listing);
    }
    // The move's 8 renames and the rollback's 3; the bundle's 5 unlinks and the move's 5.
    EXPECT_EQ(kills["rename"], 8);
    EXPECT_EQ(kills["rollback"], 3);
    EXPECT_EQ(kills["unlink"], 10);
    EXPECT_EQ(journals_met, 16);
}

// Ctrl-C at every rename from the 1st, 2nd, ... on (so also during the rollback), and SIGTERM or
// SIGHUP at one rename of the move: the move finishes, the run ends as interrupted, the rollback
// finishes, and only then does a remembered Ctrl-C end the process.
TEST_F(CrashEndToEnd, SignalsThatEndARunNeverCutTheRollbackShort) {
    const Outcome run = sandboxed(R"sh(status=0
for signal in INT TERM HUP; do
    n=1
    [ "$signal" = TERM ] && n=4  # one place each will do: after the older backup is aside
    [ "$signal" = HUP ] && n=6   # and once part of the live set has moved
    while :; do
        install_wal_product
        when=$n
        [ "$signal" = INT ] && when="$n+"
        { ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -o /dev/null \
            -e "inject=/^rename:signal=$signal:when=$when" "$CLI" --yes </dev/null \
            >"$out/run" 2>&1; } 2>/dev/null
        ended=$?
        printf '%s\t' "case=$signal $n" "ended=$ended" "mixed=$(wal_mixed)" \
            "journals=$(find "$(dirname "$db")" -maxdepth 1 -name '.brinvast-*' | wc -l)" \
            "rows=$(wal_rows "$db") | $(wal_rows "$backup")" \
            "interrupted=$(grep -c '^⚠️  Uninstall interrupted by user$' "$out/run")" \
            "rolled=$(grep -c '^🔄 Rolled back database rename$' "$out/run")" >>"$out/stdout"
        echo >>"$out/stdout"
        [ "$ended" -ne 0 ] && [ "$signal" = INT ] || break
        n=$((n + 1))
    done
done)sh");
    ASSERT_EQ(run.status, "0") << run.err;
    std::map<std::string, int> interrupted;
    for (auto record : records_of(run.out)) {
        SCOPED_TRACE(record["case"]);
        const std::string signal = record["case"].substr(0, record["case"].find(' '));
        if (record["ended"] == "0") {
            EXPECT_EQ(record["rows"], backed_up) << "no rename left to signal at";
            continue;
        }
        ++interrupted[signal];
        EXPECT_EQ(record["ended"], signal == "INT" ? "130" : "1");
        EXPECT_EQ(record["mixed"], "ok");
        EXPECT_EQ(record["journals"], "0");
        EXPECT_EQ(record["rows"], rolled_back);
        EXPECT_EQ(record["interrupted"], "1");
        EXPECT_EQ(record["rolled"], "1");
    }
    EXPECT_EQ(interrupted, (std::map<std::string, int>{{"HUP", 1}, {"INT", 8}, {"TERM", 1}}));
}

// A run that finds the home locked waits, with one line, and changes nothing meanwhile; then it
// runs and finds what the first left. Twenty pairs started together end with one removal and one
// "already clean", both successful.
TEST_F(CrashEndToEnd, SecondRunForTheSameHomeWaitsForTheFirst) {
    const Outcome held = sandboxed(R"sh(install_product
exec 7<"$HOME"
flock 7
"$CLI" --yes </dev/null >"$out/stdout" 2>"$out/stderr" &
cli_pid=$!
until grep -q 'waiting for it to finish' "$out/stdout"; do sleep 0.05; done
list_state >"$out/held"
flock -u 7
wait "$cli_pid"
status=$?
cat "$out/held" >>"$out/stdout")sh");
    std::string report = expected("typical_standard_run");
    const std::string banner = "🚀 Starting Brinvast Uninstaller\n" + std::string(60, '=') + "\n";
    report.insert(report.find(banner) + banner.size(),
                  "⚠️  Another uninstall is running for this home: waiting for it to finish\n");
    EXPECT_EQ(held.status, "0");
    EXPECT_EQ(held.out, report + expected("installed"));
    EXPECT_EQ(held.state, expected("after_standard_run"));

    const Outcome pairs = sandboxed(R"sh(status=0
for _ in $(seq 20); do
    rm -rf /Applications/* "$HOME"/*
    install_product
    "$CLI" --yes </dev/null >"$out/first" 2>&1 &
    first=$!
    "$CLI" --yes </dev/null >"$out/second" 2>&1 &
    second=$!
    wait "$first"
    a=$?
    wait "$second"
    b=$?
    echo "$a $b $(cat "$out/first" "$out/second" | grep -c '^🎉')" \
        "$(cat "$out/first" "$out/second" | grep -c 'already clean')" >>"$out/stdout"
done)sh");
    EXPECT_EQ(pairs.status, "0");
    for (const std::string& pair : lines_of(pairs.out))
        EXPECT_EQ(pair, "0 0 1 1") << "statuses, removals, already clean";
    EXPECT_EQ(lines_of(pairs.out).size(), 20u);
    EXPECT_EQ(pairs.state, expected("after_standard_run"));
}

// SQLite keeps a linked database's -wal beside the file the link resolves to. A database linked
// to its backup name is only unlinked, so that its -wal stays with its data; one linked elsewhere
// moves as the link, and the older backup it replaces goes with its -wal.
TEST_F(CrashEndToEnd, DatabaseThatIsALinkKeepsItsWal) {
    const std::string folder = "~/Library/Application Support/Brinvast/Database/";
    const struct {
        const char* setup;
        std::string said;
        const char* left;
    } cases[] = {
        {R"sh(python3 "$wal_db" make "$backup" 1000 live; ln -s Brinvast_Previous.db "$db")sh",
         "\n💾 The database was a link to its backup, where it stays: only the link is gone\n",
         "Brinvast_Previous.db Brinvast_Previous.db-shm Brinvast_Previous.db-wal \n\n"},
        {R"sh(install_wal_product; rm "$db"*; elsewhere="$HOME/Documents/elsewhere.db"
              python3 "$wal_db" make "$elsewhere" 1000 live; ln -s "$elsewhere" "$db")sh",
         "\n🗑️  Removed existing backup: " + folder + "Brinvast_Previous.db-wal\n",
         "Brinvast_Previous.db \nelsewhere.db elsewhere.db-shm elsewhere.db-wal \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setup);
        const Outcome run = sandboxed(std::string(c.setup) + R"sh(
            cli --yes
            { wal_rows "$backup"
              for folder in "$(dirname "$db")" "$HOME/Documents"; do
                  ls -A "$folder" 2>/dev/null | tr '\n' ' '; echo
              done; } >>"$out/stdout")sh");
        EXPECT_EQ(run.status, "0");
        EXPECT_THAT(run.out, HasSubstr(c.said));
        EXPECT_THAT(run.out, HasSubstr("🎉 Uninstall completed successfully!"));
        EXPECT_THAT(run.out, ::testing::EndsWith("\nlive:1000\n" + std::string(c.left)));
    }
}

}  // namespace
}  // namespace brinvast::testing
