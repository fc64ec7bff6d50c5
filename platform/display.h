// Probes of the displays the environment names, made before the application
// object exists, so that a display that cannot be opened leads to the
// offscreen platform instead of Qt's abort. Each probe opens a connection and
// closes it at once; it fails rather than throws.
#pragma once

namespace plat {

// True when the X display `name` (the value of DISPLAY) accepts a client.
// Built without X11 support: true, and Qt decides.
bool XDisplayOpens(const char* name);

// True when the Wayland compositor's socket `name` (WAYLAND_DISPLAY: an
// absolute path, or a name in `runtimeDir`, XDG_RUNTIME_DIR) accepts a
// connection.
bool WaylandDisplayOpens(const char* name, const char* runtimeDir);

}  // namespace plat
