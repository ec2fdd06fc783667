#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes property lists as Apple's tools write them, or spoilt as a hostile writer would.

Reads one request a line from standard input, FORM PATH LITERAL separated by tabs: LITERAL is a
Python literal (a dict, usually); FORM is xml, binary, or a binary file that is truncated (cut in
the middle), past-end (its offset table starts past the end of the file) or self-reference (the
top dictionary's first value is the dictionary itself). One run serves a whole test table, since
starting python3 costs more than all the rest.
"""
import ast
import plistlib
import struct
import sys

for line in sys.stdin:
    form, path, literal = line.rstrip("\n").split("\t")
    fmt = plistlib.FMT_XML if form == "xml" else plistlib.FMT_BINARY
    data = bytearray(plistlib.dumps(ast.literal_eval(literal), fmt=fmt, sort_keys=False))
    if form == "truncated":
        del data[len(data) // 2:]
    elif form == "past-end":
        data[-8:] = struct.pack(">Q", len(data))
    elif form == "self-reference":
        # plistlib writes the top object, object 0, first, at 8: its marker, its keys' one-byte
        # references, then its values'.
        data[9 + (data[8] & 0xF)] = 0
    with open(path, "wb") as file:
        file.write(data)
