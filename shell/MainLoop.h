// The program's event loop, over the main window's logic, in one of two faces.
//
// With a display the face is a QApplication with the Qt window, its tray icon and Qt message
// boxes; without one (or with DRAVIK_HEADLESS=1) a QCoreApplication over the headless view,
// whose presenter refuses every question at once. Either way the dialog bridge is served
// whenever its wake-up fd is readable, the instance channel is polled for later starts, the
// controller's two timers are QTimers, and SIGTERM, SIGINT and SIGHUP end the program through
// the same path as the tray's exit item.
#pragma once
#include "U_AppSeams.h"

namespace dravik {

class TUniqueInstance;

// The polling period of the instance channel, as the main window's guard uses.
inline constexpr int kInstancePollIntervalMs = 500;

// True when the program is to run without windows: DRAVIK_HEADLESS=1, none of DISPLAY,
// WAYLAND_DISPLAY and QT_QPA_PLATFORM set (empty counts as unset), or only DISPLAY set and its
// X server not reachable (logged as an error).
bool HeadlessFaceWanted() noexcept;

// Runs the face until the program is told to end, then stops it in the shutdown
// order up to the connection threads and the main window: closes the dialog bridge, stops
// the proxy monitor and the update thread, stops the listeners, joins the connection
// threads and frees the main window's logic (which unloads the plugin library). The
// modules' finalisation is the caller's. Main thread; returns the loop's exit status.
int RunMainLoop(bool headless, const char* programPath, TUniqueInstance& instance,
                IAutoUpdateSeam& autoUpdate, IProxyMonitorSeam& proxyMonitor);

}  // namespace dravik
