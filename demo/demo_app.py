#!/usr/bin/python3
"""A small notes window for the demo: one text entry whose content is saved to a file on every change."""
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gtk  # noqa: E402


def main() -> None:
    out_path = sys.argv[1]
    # A steady cursor, so two screenshots differ only by what was typed.
    Gtk.Settings.get_default().set_property("gtk-cursor-blink", False)
    window = Gtk.Window(title="Demo Notes")
    window.set_wmclass("demo-notes", "DemoNotes")
    window.set_default_size(480, 160)
    window.move(0, 0)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=8, margin=16)
    entry = Gtk.Entry()
    entry.set_placeholder_text("Type here")

    def save(_entry: Gtk.Entry) -> None:
        with open(out_path, "w", encoding="utf-8") as f:
            f.write(entry.get_text())

    entry.connect("changed", save)
    box.pack_start(Gtk.Label(label="Click the field and type; the demo replays what you did."), False, False, 0)
    box.pack_start(entry, False, False, 0)
    window.add(box)
    window.connect("destroy", Gtk.main_quit)
    window.show_all()
    save(entry)  # an empty file says the window is up
    Gtk.main()


if __name__ == "__main__":
    main()
