# SPDX-License-Identifier: MIT
"""Real SQLite databases in WAL mode for the end-to-end tests, and what is left of them.

  wal_db.py make PATH ROWS TAG   a database of ROWS committed rows tagged TAG, all but the first
                                 only in its -wal (the writer dies before any checkpoint)
  wal_db.py rows PATH            the rows of the set at PATH per tag ("live:1000"), read as SQLite
                                 reads them but from a copy, so that nothing is checkpointed;
                                 "none" without a database
  wal_db.py owners DIR FILE      records in FILE which set each file in DIR is from
  wal_db.py mixed DIR FILE       "ok", or each name in DIR (or a folder in it) under which files
                                 of two sets stand, such as a main file and another's sidecar
"""
import json
import os
import shutil
import sqlite3
import sys
import tempfile

SUFFIXES = ("-wal", "-shm", "-journal")


def make(path, rows, tag):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pid = os.fork()
    if pid == 0:
        db = sqlite3.connect(path, isolation_level=None)
        # The first row goes into the main file, so that no two sets' main files are alike.
        db.execute("create table t(tag text, n integer)")
        db.execute("insert into t values(?, 0)", (tag,))
        db.execute("pragma journal_mode=wal")
        db.execute("pragma wal_autocheckpoint=0")
        db.execute("begin")
        db.executemany("insert into t values(?, ?)", ((tag, n) for n in range(1, int(rows))))
        db.execute("commit")
        os._exit(0)  # no close, no checkpoint: the rows stay in the -wal
    _, status = os.waitpid(pid, 0)
    if status != 0:
        sys.exit("wal_db.py: the writer failed")


def rows(path):
    if not os.path.isfile(path):
        return "none"
    path = os.path.realpath(path)  # SQLite keeps the -wal beside the file a link resolves to
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, "copy.db")
        for suffix in ("", "-wal"):
            if os.path.exists(path + suffix):
                shutil.copyfile(path + suffix, copy + suffix)
        try:
            counted = sqlite3.connect(copy).execute(
                "select tag, count(*) from t group by tag order by tag").fetchall()
        except sqlite3.DatabaseError as error:
            return "unreadable (%s)" % error
    return " ".join("%s:%d" % row for row in counted) or "empty"


def content(path):
    with open(path, "rb") as file:
        return file.read().hex()


def base_of(name):
    for suffix in SUFFIXES:
        if name.endswith(suffix):
            return name[: -len(suffix)]
    return name


def owners(folder, record):
    known = {content(os.path.join(folder, name)): base_of(name) for name in os.listdir(folder)}
    with open(record, "w") as file:
        json.dump(known, file)


def mixed(folder, record):
    with open(record) as file:
        known = json.load(file)
    faults = []
    places = [folder] + [os.path.join(folder, name) for name in os.listdir(folder)
                         if os.path.isdir(os.path.join(folder, name))]
    for place in places:
        sets = {}
        for name in os.listdir(place):
            path = os.path.join(place, name)
            if os.path.isfile(path):
                sets.setdefault(base_of(name), set()).add(known.get(content(path), "unknown"))
        faults += ["%s/%s: %s" % (os.path.basename(place), base, " + ".join(sorted(origins)))
                   for base, origins in sorted(sets.items()) if len(origins) > 1]
    return "; ".join(faults) or "ok"


if __name__ == "__main__":
    command, arguments = sys.argv[1], sys.argv[2:]
    if command == "make":
        make(*arguments)
    elif command == "rows":
        print(rows(*arguments))
    elif command == "owners":
        owners(*arguments)
    elif command == "mixed":
        print(mixed(*arguments))
    else:
        sys.exit("wal_db.py: unknown command " + command)
