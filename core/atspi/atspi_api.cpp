#include "core/atspi/atspi_api.hpp"

#include <dlfcn.h>

namespace diruri {

namespace {

// The library's run-time name; GLib, GObject and libdbus come in as its dependencies, and its
// handle finds their functions too.
constexpr const char* kLibrary = "libatspi.so.0";

const AtspiApi* load() {
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
  // libdbus sets up its global locks lazily, racing when two threads make their first connections
  // at once (the focus watch and the recorder do); set up here, once, before any thread uses it.
  if (!api.dbus_threads_init_default()) return nullptr;
  return &api;
}

}  // namespace

const AtspiApi* atspiApi() {
  static const AtspiApi* const api = load();
  return api;
}

}  // namespace diruri
