// The two services the main window starts once the listeners are up: the self-update thread
// and the proxy monitor. The window reaches them only through these seams, whose default
// implementations do nothing, so that the window's logic runs without either service.
#pragma once

#include "KvObject.h"

namespace dravik {

// Starts and stops the self-update thread. Main thread.
class IAutoUpdateSeam {
 public:
  virtual ~IAutoUpdateSeam() = default;
  // Starts the update thread; a second call while it runs does nothing.
  virtual void StartAutoUpdate() noexcept {}
  // Asks the update thread to end and waits for it within a bounded time.
  virtual void StopAutoUpdate() noexcept {}
};

// Starts and stops the monitor of the proxy exceptions. Main thread.
class IProxyMonitorSeam {
 public:
  virtual ~IProxyMonitorSeam() = default;
  // Starts the monitor; a second call while it runs does nothing. The check's records name
  // `window` as their sender until StopProxyMonitor; it must live until then.
  virtual void StartProxyMonitor(const TKvObject& /*window*/) noexcept {}
  // Stops the monitor and waits for it; nothing when none runs.
  virtual void StopProxyMonitor() noexcept {}
};

// The seams that do nothing, for a program built without the services.
IAutoUpdateSeam& NoAutoUpdate() noexcept;
IProxyMonitorSeam& NoProxyMonitor() noexcept;

}  // namespace dravik
