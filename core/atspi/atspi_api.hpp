// libatspi, with the GLib beneath it, bound at run time (libdbus is core/dbus's).
//
// These libraries bring two dozen more shared objects whose start-up code would run at every
// process start, several milliseconds before the first answer, although only an accessibility
// snapshot needs them. They are loaded at the first snapshot instead.
#pragma once

#include <atspi/atspi.h>

namespace diruri {

#define DIRURI_ATSPI_FUNCTIONS(X)            \
  X(atspi_init)                              \
  X(atspi_get_a11y_bus)                      \
  X(atspi_set_main_context)                  \
  X(atspi_set_timeout)                       \
  X(atspi_get_desktop)                       \
  X(atspi_state_set_new)                     \
  X(atspi_state_set_contains)                \
  X(atspi_match_rule_new)                    \
  X(atspi_collection_get_matches)            \
  X(atspi_accessible_get_state_set)          \
  X(atspi_accessible_get_collection_iface)   \
  X(atspi_accessible_get_child_count)        \
  X(atspi_accessible_get_child_at_index)     \
  X(atspi_accessible_get_role_name)          \
  X(atspi_accessible_get_name)               \
  X(atspi_accessible_get_index_in_parent)    \
  X(atspi_accessible_get_component_iface)    \
  X(atspi_component_get_accessible_at_point) \
  X(atspi_component_get_extents)             \
  X(atspi_accessible_get_action_iface)       \
  X(atspi_action_get_n_actions)              \
  X(atspi_action_do_action)                  \
  X(atspi_accessible_get_text_iface)         \
  X(atspi_text_get_character_count)          \
  X(atspi_text_get_text)                     \
  X(atspi_accessible_get_parent)             \
  X(atspi_component_grab_focus)              \
  X(g_object_unref)                          \
  X(g_free)                                  \
  X(g_error_free)                            \
  X(g_array_new)                             \
  X(g_array_append_vals)                     \
  X(g_array_free)                            \
  X(g_main_context_new)                      \
  X(g_main_context_iteration)                \
  X(g_log_set_default_handler)               \
  X(g_log_set_writer_func)                   \
  X(g_set_print_handler)                     \
  X(g_set_printerr_handler)

// Every libatspi and GLib function the accessibility queries call, under its own name.
struct AtspiApi {
#define DIRURI_ATSPI_MEMBER(name) decltype(&::name) name = nullptr;
  DIRURI_ATSPI_FUNCTIONS(DIRURI_ATSPI_MEMBER)
#undef DIRURI_ATSPI_MEMBER
};

// The functions, loaded on the first call and kept for the life of the process; null, now and
// from then on, when the library or any one function cannot be found, or libdbus cannot be loaded
// (dbusApi()). Loading prints nothing.
const AtspiApi* atspiApi();

}  // namespace diruri
