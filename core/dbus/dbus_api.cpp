#include "core/dbus/dbus_api.hpp"

#include <dlfcn.h>

namespace diruri {

namespace {

constexpr const char* kLibrary = "libdbus-1.so.3";

const DbusApi* load() {
  // Never unloaded: libatspi, loaded later, finds this same copy and keeps using it.
  void* handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) return nullptr;
  static DbusApi api;
  bool complete = true;
#define DIRURI_DBUS_BIND(name)                                             \
  api.name = reinterpret_cast<decltype(api.name)>(::dlsym(handle, #name)); \
  complete = complete && api.name != nullptr;
  DIRURI_DBUS_FUNCTIONS(DIRURI_DBUS_BIND)
#undef DIRURI_DBUS_BIND
  if (!complete) return nullptr;
  // libdbus sets up its global locks lazily, racing when two threads make their first connections
  // at once (the focus watch and the recorder do); set up here, once, before any thread uses it.
  if (!api.dbus_threads_init_default()) return nullptr;
  return &api;
}

}  // namespace

const DbusApi* dbusApi() {
  static const DbusApi* const api = load();
  return api;
}

}  // namespace diruri
