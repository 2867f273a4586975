// libatspi, with the GLib and libdbus beneath it, bound at run time.
//
// These libraries bring two dozen more shared objects whose start-up code would run at every
// process start, several milliseconds before the first answer, although only an accessibility
// snapshot needs them. They are loaded at the first snapshot instead.
#pragma once

#include <atspi/atspi.h>
#include <dbus/dbus.h>

namespace diruri {

#define DIRURI_ATSPI_FUNCTIONS(X)              \
  X(atspi_init)                                \
  X(atspi_get_a11y_bus)                        \
  X(atspi_set_main_context)                    \
  X(atspi_set_timeout)                         \
  X(atspi_get_desktop)                         \
  X(atspi_state_set_new)                       \
  X(atspi_state_set_contains)                  \
  X(atspi_match_rule_new)                      \
  X(atspi_collection_get_matches)              \
  X(atspi_accessible_get_state_set)            \
  X(atspi_accessible_get_collection_iface)     \
  X(atspi_accessible_get_child_count)          \
  X(atspi_accessible_get_child_at_index)       \
  X(atspi_accessible_get_role_name)            \
  X(atspi_accessible_get_name)                 \
  X(atspi_accessible_get_index_in_parent)      \
  X(atspi_accessible_get_component_iface)      \
  X(atspi_component_get_accessible_at_point)   \
  X(atspi_component_get_extents)               \
  X(atspi_accessible_get_action_iface)         \
  X(atspi_action_get_n_actions)                \
  X(atspi_action_do_action)                    \
  X(g_object_unref)                            \
  X(g_free)                                    \
  X(g_error_free)                              \
  X(g_array_new)                               \
  X(g_array_append_vals)                       \
  X(g_array_free)                              \
  X(g_main_context_new)                        \
  X(g_main_context_iteration)                  \
  X(g_log_set_default_handler)                 \
  X(g_log_set_writer_func)                     \
  X(g_set_print_handler)                       \
  X(g_set_printerr_handler)                    \
  X(dbus_threads_init_default)                 \
  X(dbus_error_init)                           \
  X(dbus_error_free)                           \
  X(dbus_address_escape_value)                 \
  X(dbus_connection_open_private)              \
  X(dbus_connection_set_exit_on_disconnect)    \
  X(dbus_connection_send_with_reply_and_block) \
  X(dbus_connection_send_with_reply)           \
  X(dbus_connection_get_is_connected)          \
  X(dbus_connection_ref)                       \
  X(dbus_connection_close)                     \
  X(dbus_connection_unref)                     \
  X(dbus_message_new_method_call)              \
  X(dbus_message_set_auto_start)               \
  X(dbus_message_append_args)                  \
  X(dbus_message_get_args)                     \
  X(dbus_message_get_type)                     \
  X(dbus_message_is_signal)                    \
  X(dbus_message_get_sender)                   \
  X(dbus_message_get_path)                     \
  X(dbus_message_iter_init)                    \
  X(dbus_message_iter_get_arg_type)            \
  X(dbus_message_iter_get_basic)               \
  X(dbus_message_iter_next)                    \
  X(dbus_message_iter_recurse)                 \
  X(dbus_connection_read_write)                \
  X(dbus_connection_pop_message)               \
  X(dbus_message_unref)                        \
  X(dbus_pending_call_block)                   \
  X(dbus_pending_call_steal_reply)             \
  X(dbus_pending_call_unref)                   \
  X(dbus_connection_send)                      \
  X(dbus_connection_flush)                     \
  X(dbus_message_new_method_return)            \
  X(dbus_message_is_method_call)               \
  X(dbus_message_iter_init_append)             \
  X(dbus_message_iter_open_container)          \
  X(dbus_message_iter_close_container)         \
  X(dbus_message_iter_append_basic)

// Every function the accessibility query calls, under its own name.
struct AtspiApi {
#define DIRURI_ATSPI_MEMBER(name) decltype(&::name) name = nullptr;
  DIRURI_ATSPI_FUNCTIONS(DIRURI_ATSPI_MEMBER)
#undef DIRURI_ATSPI_MEMBER
};

// The functions, loaded on the first call and kept for the life of the process; null, now and
// from then on, when the library or any one function cannot be found. Loading prints nothing.
const AtspiApi* atspiApi();

}  // namespace diruri
