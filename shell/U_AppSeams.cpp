#include "U_AppSeams.h"

namespace dravik {

IAutoUpdateSeam& NoAutoUpdate() noexcept {
  static IAutoUpdateSeam seam;
  return seam;
}

IProxyMonitorSeam& NoProxyMonitor() noexcept {
  static IProxyMonitorSeam seam;
  return seam;
}

}  // namespace dravik
