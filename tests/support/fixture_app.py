# A small GTK application for the tests that need a real one: a window of known title and class with
# a banner label, a text entry "Query", a password entry "Secret", a button "Send", and a button
# "Open" that opens a "Details" window with an entry "Name" (after a delay the tests choose).
#
# Prints "ready" once the Query entry has the keyboard focus (with FIXTURE_NO_KEYBOARD set, for a
# session whose seat has no keyboard and so never activates a window: once the window is mapped), and
# then what it receives, a line each:
#   text <entry> <JSON string>    an entry's whole text after a change
#   pressed <button>              a button was activated
#   opened Details                the Details window is shown with its entry focused
# Reads commands on stdin, one a line, and answers each with "done <command>" once it took effect:
#   focus-button, focus-entry     give the keyboard focus to Send or Query
#   name <text>                   set Query's accessible name
#   delay <ms>                    how long Open waits before the Details window appears
#   conceal-on-focus <ms>         Query hides its text (becomes a password field) <ms> after it next
#                                 gets the focus, and then reports "concealed Query"
#   banner <text>                 set the banner's text, \n a line break (more lines move what
#                                 lies below it)
#   move <x> <y>                  move the window; answered once the window manager placed it there
#   where <widget>                report "at <widget> <x> <y> <width> <height>" in root coordinates
#                                 (Query, Secret, Send, Open, Name)
import json
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

title = sys.argv[1] if len(sys.argv) > 1 else "Focus Probe"


def say(text):
    print(text, flush=True)


window = Gtk.Window(title=title)
window.set_wmclass("focusprobe", "FocusProbe")
window.set_default_size(320, 160)
window.connect("destroy", Gtk.main_quit)
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6)
banner = Gtk.Label(label="")
entry = Gtk.Entry()
entry.get_accessible().set_name("Query")
secret = Gtk.Entry()
secret.set_visibility(False)
secret.get_accessible().set_name("Secret")
button = Gtk.Button(label="Send")
opener = Gtk.Button(label="Open")
for widget in (banner, entry, secret, button, opener):
    box.pack_start(widget, False, False, 0)
window.add(box)

details = Gtk.Window(title="Details")
details.set_wmclass("focusprobe", "FocusProbe")
details.set_transient_for(window)
details.set_default_size(240, 80)
name = Gtk.Entry()
name.get_accessible().set_name("Name")
details.add(name)
open_delay_ms = 0
widgets = {"Query": entry, "Secret": secret, "Send": button, "Open": opener, "Name": name}


def report_text(label):
    return lambda widget: say("text %s %s" % (label, json.dumps(widget.get_text())))


entry.connect("changed", report_text("Query"))
secret.connect("changed", report_text("Secret"))
name.connect("changed", report_text("Name"))
button.connect("clicked", lambda *_: say("pressed Send"))


def show_details():
    details.show_all()
    details.present()
    name.grab_focus()
    return False


def on_open(*_):
    say("pressed Open")
    GLib.timeout_add(open_delay_ms, show_details)


def details_focused(*_):
    if details.is_active() and name.has_focus():
        say("opened Details")
    return False


opener.connect("clicked", on_open)
details.connect("notify::is-active", details_focused)

window.show_all()
entry.grab_focus()
announced = False
without_keyboard = bool(os.environ.get("FIXTURE_NO_KEYBOARD"))


def announce_when_focused(*_):
    global announced
    focused = window.is_active() and entry.has_focus()
    if not announced and (focused or (without_keyboard and window.get_mapped())):
        announced = True
        say("ready")
    return False


conceal_after_ms = None


def conceal():
    entry.set_visibility(False)
    say("concealed Query")
    return False


def on_entry_focus_in(*_):
    global conceal_after_ms
    if conceal_after_ms is not None:
        GLib.timeout_add(conceal_after_ms, conceal)
        conceal_after_ms = None
    return False


entry.connect("focus-in-event", on_entry_focus_in)
pending_move = None
pending_fullscreen = False


def on_allocate(_widget, allocation):
    # Answered once the window has its new size and its widgets their new places.
    global pending_fullscreen
    if pending_fullscreen and (allocation.width, allocation.height) != pending_fullscreen:
        pending_fullscreen = False
        GLib.idle_add(lambda: say("done fullscreen") and False)


def on_configure(widget, event):
    global pending_move
    if pending_move is not None:
        x, y = widget.get_position()
        if (x, y) == pending_move[:2]:
            say("done " + pending_move[2])
            pending_move = None
    return False


def on_command(source, _condition):
    global open_delay_ms, pending_move, pending_fullscreen, conceal_after_ms
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
    elif command.startswith("delay "):
        open_delay_ms = int(command.split()[1])
    elif command.startswith("conceal-on-focus "):
        conceal_after_ms = int(command.split()[1])
    elif command.startswith("banner "):
        banner.set_text(command[len("banner "):].replace("\\n", "\n"))
    elif command.startswith("where "):
        widget = widgets[command[len("where "):]]
        _, ox, oy = widget.get_toplevel().get_window().get_origin()
        x, y = widget.translate_coordinates(widget.get_toplevel(), 0, 0)
        allocation = widget.get_allocation()
        say("at %s %d %d %d %d" % (command[len("where "):], ox + x, oy + y, allocation.width, allocation.height))
    elif command == "fullscreen":
        # Where the compositor tells no client its place: fullscreen, its window is the screen.
        if window.get_window().get_state() & Gdk.WindowState.FULLSCREEN:
            say("done " + command)
            return True
        pending_fullscreen = (window.get_allocation().width, window.get_allocation().height)
        window.fullscreen()
        return True  # answered when the window is fullscreen
    elif command.startswith("move "):
        _, x, y = command.split()
        if window.get_position() == (int(x), int(y)):
            say("done " + command)
            return True
        pending_move = (int(x), int(y), command)
        window.move(int(x), int(y))
        return True  # answered when the window is there
    say("done " + command)
    return True


window.connect("notify::is-active", announce_when_focused)
window.connect("map-event", announce_when_focused)
window.connect("configure-event", on_configure)
window.connect("size-allocate", on_allocate)
entry.connect("focus-in-event", announce_when_focused)
GLib.idle_add(announce_when_focused)
GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_command)
Gtk.main()
