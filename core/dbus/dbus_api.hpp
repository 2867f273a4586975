// libdbus, bound at run time.
//
// Only the replay through GNOME's remote desktop and the accessibility bus need it, so it is loaded
// at their first use instead of at every process start.
#pragma once

#include <dbus/dbus.h>

namespace diruri {

#define DIRURI_DBUS_FUNCTIONS(X)               \
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

// Every libdbus function the project calls, under its own name.
struct DbusApi {
#define DIRURI_DBUS_MEMBER(name) decltype(&::name) name = nullptr;
  DIRURI_DBUS_FUNCTIONS(DIRURI_DBUS_MEMBER)
#undef DIRURI_DBUS_MEMBER
};

// The functions, loaded on the first call and kept for the life of the process; null, now and
// from then on, when the library or any one function cannot be found. Loading prints nothing.
const DbusApi* dbusApi();

}  // namespace diruri
