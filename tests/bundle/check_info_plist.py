# SPDX-License-Identifier: MIT
"""Checks a filled-in Info.plist: it parses as a property list, the keys that macOS, Finder and
privacy protection read hold plain values, the short name fits the menu bar, and its icon is one
of our .icns files.

Usage: check_info_plist.py PLIST ICONS_DIR VERSION MINIMUM_MACOS
Prints each problem and exits with status 1 if there is any."""

import plistlib
import sys
from pathlib import Path


def problems_of(info, icons_dir, version, minimum):
    expected = {
        "CFBundleDisplayName": "Brinvast Uninstaller",
        "CFBundleExecutable": "Brinvast Uninstaller",
        "CFBundleIdentifier": "com.brinvast.uninstaller",
        "CFBundleInfoDictionaryVersion": "6.0",
        "CFBundlePackageType": "APPL",
        "CFBundleShortVersionString": version,
        "CFBundleVersion": version,
        "LSApplicationCategoryType": "public.app-category.utilities",
        "LSMinimumSystemVersion": minimum,
        "NSHighResolutionCapable": True,
    }
    for key, value in expected.items():
        if info.get(key) != value:
            yield f"{key} is {info.get(key)!r}, not {value!r}"
    for key, value in info.items():
        if isinstance(value, str) and (not value.strip() or "@" in value or "${" in value):
            yield f"{key} is not filled in: {value!r}"
    # Apple allows the short name 15 characters; the full name is the display name's.
    name = info.get("CFBundleName")
    if not (isinstance(name, str) and 0 < len(name) <= 15):
        yield f"CFBundleName is not a name of at most 15 characters: {name!r}"
    reason = info.get("NSDocumentsFolderUsageDescription")
    if not (isinstance(reason, str) and "~/Documents/Brinvast" in reason
            and reason.endswith(".") and reason.count(".") == 1 and "\n" not in reason):
        yield f"NSDocumentsFolderUsageDescription is not one sentence on our folder: {reason!r}"
    icon = Path(icons_dir) / str(info.get("CFBundleIconFile"))
    if icon.suffix != ".icns" or not icon.is_file() or icon.read_bytes()[:4] != b"icns":
        yield f"CFBundleIconFile names no .icns file among {icons_dir}: {icon.name!r}"


def main(plist, icons_dir, version, minimum):
    with open(plist, "rb") as file:
        info = plistlib.load(file)  # raises on anything but a well-formed property list
    problems = list(problems_of(info, icons_dir, version, minimum))
    for problem in problems:
        print(f"{plist}: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
