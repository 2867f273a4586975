# A small GTK application for the tests that need a real one: a window of known title and class with
# a banner label, a text entry "Query", a password entry "Secret", a button "Send", and a button
# "Open" that opens a "Details" window with an entry "Name" (after a delay the tests choose).
# Below them: a combo box "Colour" (Red, Green, Blue; Red at start) that pops a menu list, a button
# "Menu" that pops a menu (First, Second, and More, whose submenu opens on hover and holds Deep item),
# a text view "Notes" (starting with "alpha beta gamma" and a second line "delta epsilon") with GTK's
# own right-click menu (Cut, Copy, Paste, Delete, Select All, ...), and a 200x120 drawing area
# "Canvas" (role drawing area), a check box "Agree" (not checked at start), and last a text entry
# "Code".
#
# With FIXTURE_FORM_FILE=<path>, Send writes the form's values to that file as one JSON object:
# {"Query": ..., "Code": ..., "Secret": ...}.
#
# With FIXTURE_FONT_SCALE=<factor> (e.g. 1.5) every font, and the least height of every entry and
# button, is that much larger, so the widgets sit elsewhere inside a larger window.
#
# Prints "ready" once the Query entry has the keyboard focus (with FIXTURE_NO_KEYBOARD set, for a
# session whose seat has no keyboard and so never activates a window: once the window is mapped), and
# then what it receives, a line each:
#   text <entry> <JSON string>    an entry's whole text after a change
#   pressed <button>              a button was activated
#   opened Details                the Details window is shown with its entry focused
#   pressed Menu                  the Menu button was activated (its menu pops up)
#   chose Colour <item>           Colour's active item changed (Red, Green, Blue)
#   chose Menu <item>             a menu item was activated (First, Second, Deep item)
#   text Notes <JSON string>      the text view's whole text after a change
#   selection Notes <JSON string> the text view's selected text after it changed ("" for none)
#   press <x> <y> <n>             button 1 went down on Canvas, in Canvas's own coordinates; n is
#                                 the click count: 1 for every press, then also 2 for the second
#                                 press of a double click and 3 for the third of a triple click
#                                 (a double click: press 1, release, press 1, press 2, release)
#   release <x> <y>               button 1 went up (after a press on Canvas)
#   point <x> <y>                 the pointer moved while button 1 was held (after a press on
#                                 Canvas), every motion event, uncompressed
#   toggled Agree <true|false>    the check box changed
#   accepted Name <JSON string>   Enter in Name, with the text Name held then
#   press <x> <y> <n> button <b>, release <x> <y> button <b>
#                                 the same for another button b (2 middle, 3 right, ...)
# Reads commands on stdin, one a line, and answers each with "done <command>" once it took effect:
#   focus-button, focus-entry     give the keyboard focus to Send or Query
#   name <text>                   set Query's accessible name
#   max-length <entry> <n>        the entry (Query, Name) keeps at most n characters of what is typed
#   agree <on|off>                check or clear Agree (reported as it changes)
#   clear <entry>                 empty the entry (Query, Name, Code)
#   lag <ms>                      Name takes each typed character <ms> after its key (Enter at once)
#   focus-late <ms>               a click on Query gives it the focus only <ms> after the press
#   delay <ms>                    how long Open waits before the Details window appears
#   conceal-on-focus <ms>         Query hides its text (becomes a password field) <ms> after it next
#                                 gets the focus, and then reports "concealed Query"
#   banner <text>                 set the banner's text, \n a line break (more lines move what
#                                 lies below it)
#   move <x> <y>                  move the window; answered once the window manager placed it there
#   where <widget>                report "at <widget> <x> <y> <width> <height>" in root coordinates
#                                 (Query, Secret, Send, Open, Name, Colour, Menu, Notes, Canvas, Agree,
#                                 Code)
#   where-item <text>             report "at <text> <x> <y> <width> <height>" in root coordinates for
#                                 a menu item showing that text in a popup now on screen (the open
#                                 Colour list, the Menu menu or its submenu, Notes' right-click
#                                 menu; mnemonic underscores do not count), else "none <text>"
#   size <w> <h>                  resize the window; answered once it is allocated that size (or
#                                 its minimum, where that is larger)
#   fullscreen                    make the window fullscreen; answered once its size changed
import json
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Atk", "1.0")
gi.require_version("Gdk", "3.0")
gi.require_version("Pango", "1.0")
from gi.repository import Atk, Gdk, GLib, Gtk, Pango  # noqa: E402

title = sys.argv[1] if len(sys.argv) > 1 else "Focus Probe"
font_scale = float(os.environ.get("FIXTURE_FONT_SCALE") or 1)
if font_scale != 1:
    settings = Gtk.Settings.get_default()
    font = Pango.FontDescription.from_string(settings.props.gtk_font_name or "Sans 10")
    font.set_size(int((font.get_size() or 10 * Pango.SCALE) * font_scale))
    settings.props.gtk_font_name = font.to_string()
    # The theme's least heights of entries and buttons (Adwaita's) grow alike, or a larger font would
    # fit in them and move nothing.
    sizes = Gtk.CssProvider()
    sizes.load_from_data(b"entry { min-height: %dpx; } button { min-height: %dpx; }" % (
        round(32 * font_scale), round(24 * font_scale)))
    Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), sizes,
                                             Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)


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

# Below the first widgets, so that they keep their places: the popups and the pointer's finer work.
colour = Gtk.ComboBoxText()
for item in ("Red", "Green", "Blue"):
    colour.append_text(item)
colour.set_active(0)
colour.get_accessible().set_name("Colour")
menu_button = Gtk.Button(label="Menu")
menu = Gtk.Menu()  # not attached to the button: GTK's accessibility would then leave it out altogether
for item in ("First", "Second"):
    menu.append(Gtk.MenuItem(label=item))
more = Gtk.MenuItem(label="More")
submenu = Gtk.Menu()
submenu.append(Gtk.MenuItem(label="Deep item"))
more.set_submenu(submenu)
menu.append(more)
menu.show_all()
notes = Gtk.TextView()
notes.set_wrap_mode(Gtk.WrapMode.WORD_CHAR)
notes.set_left_margin(4)
notes.set_right_margin(4)
notes.get_buffer().set_text("alpha beta gamma\ndelta epsilon")
notes.set_size_request(-1, 60)
notes.get_accessible().set_name("Notes")
canvas = Gtk.DrawingArea()
canvas.set_size_request(200, 120)
canvas_frame = Gtk.Frame()  # only to show where the canvas is
canvas_frame.set_halign(Gtk.Align.START)
canvas_frame.add(canvas)
canvas.add_events(Gdk.EventMask.BUTTON_PRESS_MASK | Gdk.EventMask.BUTTON_RELEASE_MASK |
                  Gdk.EventMask.BUTTON1_MOTION_MASK)
canvas.get_accessible().set_role(Atk.Role.DRAWING_AREA)
canvas.get_accessible().set_name("Canvas")
agree = Gtk.CheckButton(label="Agree")
agree.connect("toggled", lambda *_: say("toggled Agree %s" % ("true" if agree.get_active() else "false")))
code = Gtk.Entry()
code.get_accessible().set_name("Code")
for widget in (colour, menu_button, notes, canvas_frame, agree, code):
    box.pack_start(widget, False, False, 0)

details = Gtk.Window(title="Details")
details.set_wmclass("focusprobe", "FocusProbe")
details.set_transient_for(window)
details.set_default_size(240, 80)
name = Gtk.Entry()
name.get_accessible().set_name("Name")
details.add(name)
open_delay_ms = 0
widgets = {"Query": entry, "Secret": secret, "Send": button, "Open": opener, "Name": name,
           "Colour": colour, "Menu": menu_button, "Notes": notes, "Canvas": canvas, "Agree": agree,
           "Code": code}


def report_text(label):
    return lambda widget: say("text %s %s" % (label, json.dumps(widget.get_text())))


entry.connect("changed", report_text("Query"))
secret.connect("changed", report_text("Secret"))
code.connect("changed", report_text("Code"))
name.connect("changed", report_text("Name"))
name.connect("activate", lambda widget: say("accepted Name %s" % json.dumps(widget.get_text())))
# "lag <ms>": Name takes each character that long after its key, as an application busy with what
# was typed does, while Enter is taken at once.
name_lag_ms = 0


def on_name_key(widget, event):
    text = Gdk.keyval_to_unicode(event.keyval)
    if name_lag_ms <= 0 or text < 32 or text == 127 or event.state & Gdk.ModifierType.CONTROL_MASK:
        return False
    character = chr(text)

    def insert():
        widget.insert_text(character, widget.get_position())
        widget.set_position(widget.get_position() + 1)
        return False

    GLib.timeout_add(name_lag_ms, insert)
    return True


name.connect("key-press-event", on_name_key)
# "focus-late <ms>": a click on Query gives it the focus only that long after the press.
query_focus_late_ms = 0


def on_query_press(widget, _event):
    if query_focus_late_ms <= 0:
        return False
    GLib.timeout_add(query_focus_late_ms, lambda: widget.grab_focus() and False)
    return True


entry.connect("button-press-event", on_query_press)
form_file = os.environ.get("FIXTURE_FORM_FILE")


def on_send(*_):
    if form_file:
        with open(form_file, "w", encoding="utf-8") as out:
            json.dump({"Query": entry.get_text(), "Code": code.get_text(), "Secret": secret.get_text()}, out)
    say("pressed Send")


button.connect("clicked", on_send)


def on_menu_button(*_):
    say("pressed Menu")
    menu.popup_at_widget(menu_button, Gdk.Gravity.SOUTH_WEST, Gdk.Gravity.NORTH_WEST, None)


def report_choice(widget, label):
    return lambda *_: say("chose %s %s" % (widget, label))


menu_button.connect("clicked", on_menu_button)
for item in menu.get_children() + submenu.get_children():
    if item.get_submenu() is None:
        item.connect("activate", report_choice("Menu", item.get_label()))
colour.connect("changed", lambda combo: say("chose Colour %s" % combo.get_active_text()))
notes_buffer = notes.get_buffer()
notes_buffer.connect("changed", lambda b: say(
    "text Notes %s" % json.dumps(b.get_text(b.get_start_iter(), b.get_end_iter(), True))))
selected_notes = ""


def on_notes_mark(buffer, _where, mark):
    global selected_notes
    if mark not in (buffer.get_insert(), buffer.get_selection_bound()):
        return
    bounds = buffer.get_selection_bounds()
    text = buffer.get_text(bounds[0], bounds[1], True) if bounds else ""
    if text != selected_notes:
        selected_notes = text
        say("selection Notes %s" % json.dumps(text))


notes_buffer.connect("mark-set", on_notes_mark)
canvas_held = set()


def on_canvas_button(_widget, event):
    counts = {Gdk.EventType.BUTTON_PRESS: 1, Gdk.EventType._2BUTTON_PRESS: 2,
              Gdk.EventType._3BUTTON_PRESS: 3}
    which = "" if event.button == 1 else " button %d" % event.button
    x, y = int(round(event.x)), int(round(event.y))
    if event.type in counts:
        canvas_held.add(event.button)
        say("press %d %d %d%s" % (x, y, counts[event.type], which))
    elif event.type == Gdk.EventType.BUTTON_RELEASE and event.button in canvas_held:
        canvas_held.discard(event.button)
        say("release %d %d%s" % (x, y, which))
    return True


def on_canvas_motion(_widget, event):
    if 1 in canvas_held and event.get_state() & Gdk.ModifierType.BUTTON1_MASK:
        say("point %d %d" % (int(round(event.x)), int(round(event.y))))
    return True


def uncompressed(widget):
    widget.get_window().set_event_compression(False)
    widget.get_toplevel().get_window().set_event_compression(False)


canvas.connect("button-press-event", on_canvas_button)
canvas.connect("button-release-event", on_canvas_button)
canvas.connect("motion-notify-event", on_canvas_motion)
canvas.connect("realize", uncompressed)


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
pending_size = None


def root_box(widget):
    _, ox, oy = widget.get_toplevel().get_window().get_origin()
    x, y = widget.translate_coordinates(widget.get_toplevel(), 0, 0)
    allocation = widget.get_allocation()
    return ox + x, oy + y, allocation.width, allocation.height


def item_text(item):
    # A menu item's text as shown: its label without mnemonics, or a combo list's row.
    child = item.get_child()
    if isinstance(child, Gtk.Label):
        return child.get_text()
    if isinstance(child, Gtk.CellView) and child.get_model() is not None and child.get_displayed_row():
        return child.get_model()[child.get_displayed_row()][0]
    return None


def showing_item(text):
    found = []

    def visit(widget):
        if isinstance(widget, Gtk.MenuItem) and widget.get_mapped() and item_text(widget) == text:
            found.append(widget)
        elif isinstance(widget, Gtk.Container):
            widget.forall(visit)

    for top in Gtk.Window.list_toplevels():
        if top.get_mapped() and top.get_window_type() == Gtk.WindowType.POPUP:
            visit(top)
    return found[0] if found else None


def answer_size():
    global pending_size
    if pending_size is not None:
        allocation = window.get_allocation()
        if (allocation.width, allocation.height) == pending_size[:2]:
            GLib.idle_add(lambda command=pending_size[2]: say("done " + command) and False)
            pending_size = None


def on_allocate(_widget, allocation):
    # Answered once the window has its new size and its widgets their new places.
    global pending_fullscreen
    if pending_fullscreen and (allocation.width, allocation.height) != pending_fullscreen:
        pending_fullscreen = False
        GLib.idle_add(lambda: say("done fullscreen") and False)
    answer_size()


def on_configure(widget, event):
    global pending_move
    if pending_move is not None:
        x, y = widget.get_position()
        if (x, y) == pending_move[:2]:
            say("done " + pending_move[2])
            pending_move = None
    return False


def on_command(source, _condition):
    global open_delay_ms, pending_move, pending_fullscreen, conceal_after_ms, pending_size
    global name_lag_ms, query_focus_late_ms
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
    elif command.startswith("max-length "):
        _, which, length = command.split()
        widgets[which].set_max_length(int(length))
    elif command.startswith("lag "):
        name_lag_ms = int(command.split()[1])
    elif command.startswith("focus-late "):
        query_focus_late_ms = int(command.split()[1])
    elif command.startswith("clear "):
        widgets[command.split()[1]].set_text("")
    elif command.startswith("agree "):
        agree.set_active(command.split()[1] == "on")
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
    elif command.startswith("where-item "):
        text = command[len("where-item "):]
        item = showing_item(text)
        say(("at %s %d %d %d %d" % ((text,) + root_box(item))) if item else "none " + text)
    elif command.startswith("size "):
        _, w, h = command.split()
        minimum = window.get_preferred_size()[0]
        pending_size = (max(int(w), minimum.width), max(int(h), minimum.height), command)
        window.resize(int(w), int(h))
        answer_size()
        return True  # answered when the window has that size
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
