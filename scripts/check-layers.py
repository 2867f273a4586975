#!/usr/bin/env python3
"""Checks that the source folders depend one way: every #include of a project header points to a
folder of a lower layer (or the same folder), so no folder depends on one above it, none on another
of its own layer, and there is no cycle; and that only the platform folders include the X11, XCB,
AT-SPI, D-Bus, GLib and Wayland headers, each only its own.
Prints the layers and the folder graph with -v. Exit status 1 on any violation."""
import pathlib
import re
import sys

# Lowest first. A folder may include its own headers and those of folders with a smaller number;
# folders of one layer are side by side and never include one another.
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
    # The engine and the back ends: each works through the interfaces below, none knows another.
    "core/recorder": 6,
    "core/x11": 6,
    "core/atspi": 6,
    "core/wayland": 6,
    "core/mcp": 7,
    "client": 8,
}
PLATFORM_HEADER = re.compile(r"#\s*include\s*<(xcb/|X11/|atspi/|dbus/|glib|gio/|gobject/|wayland-)")
# The platform headers each folder may include. D-Bus reaches the Wayland back end only through
# core/dbus.
PLATFORM_HEADERS = {
    "core/dbus": ("dbus/",),
    "core/x11": ("xcb/", "X11/"),
    "core/atspi": ("atspi/", "dbus/", "glib", "gio/", "gobject/"),
    "core/wayland": ("wayland-",),
}
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
            platform = PLATFORM_HEADER.match(line)
            if platform and platform.group(1) not in PLATFORM_HEADERS.get(here, ()):
                errors.append(f"{rel}:{number}: platform header not of this folder's platform: {line.strip()}")
            match = PROJECT_INCLUDE.match(line)
            if not match or match.group(1) == here:
                continue
            there = match.group(1)
            edges.add((here, there))
            if there not in LAYERS:
                errors.append(f"{rel}:{number}: includes {there}, which has no layer")
            elif LAYERS[there] == LAYERS[here]:
                errors.append(f"{rel}:{number}: {here} includes {there}, both of layer {LAYERS[here]}")
            elif LAYERS[there] > LAYERS[here]:
                errors.append(f"{rel}:{number}: {here} (layer {LAYERS[here]}) includes {there} (layer {LAYERS[there]})")
    if verbose:
        for layer in sorted(set(LAYERS.values()), reverse=True):
            print(f"layer {layer}: " + ", ".join(sorted(f for f, n in LAYERS.items() if n == layer)))
        for here, there in sorted(edges):
            print(f"{here} -> {there}")
    for error in errors:
        print(error)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
