#include "core/atspi/atspi_api.hpp"

#include <dlfcn.h>

#include "core/dbus/dbus_api.hpp"

namespace diruri {

namespace {

// The library's run-time name; GLib and GObject come in as its dependencies, and its handle finds
// their functions too. libdbus, also one of them, is loaded first, so that its locks are set up
// before libatspi makes a connection.
constexpr const char* kLibrary = "libatspi.so.0";

const AtspiApi* load() {
  if (dbusApi() == nullptr) return nullptr;
  // Never unloaded: GLib registers types and threads that cannot be taken back.
  void* handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) return nullptr;
  static AtspiApi api;
  bool complete = true;
#define DIRURI_ATSPI_BIND(name)                                            \
  api.name = reinterpret_cast<decltype(api.name)>(::dlsym(handle, #name)); \
  complete = complete && api.name != nullptr;
  DIRURI_ATSPI_FUNCTIONS(DIRURI_ATSPI_BIND)
#undef DIRURI_ATSPI_BIND
  if (!complete) return nullptr;
  return &api;
}

}  // namespace

const AtspiApi* atspiApi() {
  static const AtspiApi* const api = load();
  return api;
}

}  // namespace diruri
