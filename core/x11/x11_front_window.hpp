// The front window of the X display, from the window manager's and the window's properties.
#pragma once

#include <memory>
#include <mutex>

#include "core/capture/front_window_source.hpp"

namespace diruri {

// The front window is the root's _NET_ACTIVE_WINDOW or, without a window manager (or when that
// names a window that no longer exists), the input focus walked up to its top-level client window.
// Its application comes from _NET_WM_PID (else the X-Resource extension), _GTK_APPLICATION_ID,
// WM_CLASS and /proc/<pid>/comm; its title from _NET_WM_NAME, else WM_NAME. All text is valid
// UTF-8.
//
// One connection to $DISPLAY, opened at the first query and opened again after the server went
// away; no display means no front window. Safe to call from several threads (one at a time
// reaches the display).
class X11FrontWindow final : public FrontWindowSource {
 public:
  X11FrontWindow();
  ~X11FrontWindow() override;
  X11FrontWindow(const X11FrontWindow&) = delete;
  X11FrontWindow& operator=(const X11FrontWindow&) = delete;

  std::optional<FrontWindow> frontWindow() override;

 private:
  struct FrontWindowQuery;
  std::mutex mutex_;
  std::unique_ptr<FrontWindowQuery> query_;
};

}  // namespace diruri
