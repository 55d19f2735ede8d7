// The program's headless face: the event loop without a screen, over the main window's logic.
//
// A QCoreApplication runs the loop. The dialog bridge is served whenever its wake-up fd is
// readable, the instance channel is polled for later starts, the controller's two timers are
// QTimers, and SIGTERM, SIGINT and SIGHUP end the program through the same path as the
// tray's exit item. Every question to the user is refused at once by the headless presenter.
#pragma once
#include "U_AppSeams.h"

namespace dravik {

class TUniqueInstance;

// The polling period of the instance channel, as the main window's guard uses.
inline constexpr int kInstancePollIntervalMs = 500;

// Runs the headless face until the program is told to end, then stops it in the shutdown
// order up to the connection threads and the main window: closes the dialog bridge, stops
// the proxy monitor and the update thread, stops the listeners, joins the connection
// threads and frees the main window's logic (which unloads the plugin library). The
// modules' finalisation is the caller's. Main thread; returns the loop's exit status.
int RunHeadlessLoop(const char* programPath, TUniqueInstance& instance, IAutoUpdateSeam& autoUpdate,
                    IProxyMonitorSeam& proxyMonitor);

}  // namespace dravik
