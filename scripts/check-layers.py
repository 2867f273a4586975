#!/usr/bin/env python3
"""Checks that the source folders depend one way: every #include of a project header points to a
folder of a lower layer (or the same folder), so no folder depends on one above it and there is no
cycle; and that only the platform folders include the X11, XCB, AT-SPI, D-Bus, GLib and Wayland
headers.
Prints the folder graph with -v. Exit status 1 on any violation."""
import pathlib
import re
import sys

# Lowest first. A folder may include its own headers and those of folders with a smaller number.
LAYERS = {
    "core/text": 0,
    "core/json": 1,
    "core/platform": 1,
    "core/dbus": 2,
    "core/records": 2,
    "core/capture": 3,
    "core/store": 3,
    "core/skill": 4,
    "core/replay": 5,
    "core/recorder": 6,
    "core/x11": 6,
    "core/atspi": 7,
    "core/wayland": 8,
    "core/mcp": 9,
    "client": 10,
}
PLATFORM_HEADERS = re.compile(r"#\s*include\s*<(xcb/|X11/|atspi/|dbus/|glib|gio/|gobject/|wayland-)")
PLATFORM_FOLDERS = ("core/dbus", "core/x11", "core/atspi", "core/wayland")
PROJECT_INCLUDE = re.compile(r'#\s*include\s*"((?:core/[a-z0-9_]+)|client)/')


def folder_of(path: pathlib.Path) -> str:
    parts = path.parts
    return "/".join(parts[:2]) if parts[0] == "core" else parts[0]


def main() -> int:
    root = pathlib.Path(__file__).resolve().parent.parent
    verbose = "-v" in sys.argv[1:]
    errors, edges = [], set()
    for path in sorted(p for d in ("core", "client") for p in (root / d).rglob("*") if p.suffix in (".cpp", ".hpp")):
        rel = path.relative_to(root)
        here = folder_of(rel)
        if here not in LAYERS:
            errors.append(f"{rel}: folder {here} has no layer; add it to LAYERS")
            continue
        for number, line in enumerate(path.read_text().splitlines(), 1):
            if PLATFORM_HEADERS.match(line) and here not in PLATFORM_FOLDERS:
                errors.append(f"{rel}:{number}: platform header outside the platform folders: {line.strip()}")
            match = PROJECT_INCLUDE.match(line)
            if not match or match.group(1) == here:
                continue
            there = match.group(1)
            edges.add((here, there))
            if there not in LAYERS:
                errors.append(f"{rel}:{number}: includes {there}, which has no layer")
            elif LAYERS[there] >= LAYERS[here]:
                errors.append(f"{rel}:{number}: {here} (layer {LAYERS[here]}) includes {there} (layer {LAYERS[there]})")
    if verbose:
        for here, there in sorted(edges):
            print(f"{here} -> {there}")
    for error in errors:
        print(error)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
