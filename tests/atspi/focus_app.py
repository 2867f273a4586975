# A small GTK window for the accessibility tests: a known title, a focused text entry and a button.
# Prints "ready" once the entry has the keyboard focus. Reads commands on stdin, one a line, and
# answers each once it took effect: "focus-button", "focus-entry", "name <text>" (the entry's
# accessible name).
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

title = sys.argv[1] if len(sys.argv) > 1 else "Focus Probe"

window = Gtk.Window(title=title)
window.set_wmclass("focusprobe", "FocusProbe")
window.set_default_size(320, 120)
window.connect("destroy", Gtk.main_quit)
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6)
entry = Gtk.Entry()
entry.get_accessible().set_name("Query")
button = Gtk.Button(label="Send")
box.pack_start(entry, False, False, 0)
box.pack_start(button, False, False, 0)
window.add(box)
window.show_all()
entry.grab_focus()

announced = False


def announce_when_focused(*_):
    global announced
    if not announced and window.is_active() and entry.has_focus():
        announced = True
        print("ready", flush=True)
    return False


def on_command(source, _condition):
    line = source.readline()
    if not line:
        Gtk.main_quit()
        return False
    command = line.rstrip("\n")
    if command == "focus-button":
        button.grab_focus()
    elif command == "focus-entry":
        entry.grab_focus()
    elif command.startswith("name "):
        entry.get_accessible().set_name(command[len("name "):])
    print("done " + command, flush=True)
    return True


window.connect("notify::is-active", announce_when_focused)
entry.connect("focus-in-event", announce_when_focused)
GLib.idle_add(announce_when_focused)
GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_command)
Gtk.main()
