// The program DravikPluginHost: initialises the modules in the system's order, makes sure
// one instance runs on the desktop, runs the event loop and finalises everything in the
// shutdown order.
#include <signal.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "KvClock.h"
#include "KvLibUtils.h"
#include "MainLoop.h"
#include "ModulePaths.h"
#include "U_AppHooks.h"
#include "U_AppSeams.h"
#include "U_AutoUpdate.h"
#include "U_CAdES_Routes.h"
#include "U_CAdES_Sessions.h"
#include "U_InitSSL.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_RegistryMonitor.h"
#include "U_ThreadDialogs.h"
#include "U_WebServer.h"
#include "UniqueInstance.h"

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only: fontconfig (the fonts) and libdbus (the tray) keep their caches until the
// process ends.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}
#endif

namespace {

constexpr const char* kApplicationTitle = "Dravik Plugin Host";
constexpr const char* kApplicationTitleSuffix = " [ZRT]";

void InitializeModules() {
  dravik::InitializeLogFile();
  dravik::InitInitSSL();
  dravik::InitWebServer();
  dravik::InitPluginHost();
  dravik::RegisterApiRoutes();
  dravik::InitSessions(dravik::ProgramClock());
  dravik::InitAutoUpdateState();
}

// The remaining steps of the shutdown order, after the loop has stopped the listeners and
// joined the connection threads; also the end of a start that found another instance.
void FinalizeModules(dravik::TUniqueInstance& instance) noexcept {
  try {
    dravik::CloseDialogBridge();
  } catch (const std::exception& error) {
    dravik::LogException(nullptr, "Closing the dialog bridge", error);
  }
  // The connection threads are joined by now and the plugin library is still loaded: every
  // session releases its crypto engine there.
  dravik::FinalizeSessions();
  dravik::FinalizePluginHost();
  dravik::FinalizeAutoUpdateState();
  dravik::FinalizeWebServer();
  dravik::FinalizeInitSSL();
  dravik::FinalizeLogFile();
  dravik::FinalizeLibUtils();
  instance.FreeInstanceServer();
}

void ReportStartError(const std::exception& error) noexcept {
  dravik::LogException(nullptr, "Program start", error);
  std::fprintf(stderr, "DravikPluginHost: %s\n", error.what());
}

}  // namespace

int main(int argc, char** argv) {
  dravik::platform::CaptureModulePaths();
  ::signal(SIGPIPE, SIG_IGN);

  int status = 0;
  try {
    dravik::SetMainThread();
    const std::vector<std::string> params(argv + (argc > 0 ? 1 : 0), argv + argc);
    dravik::TUniqueInstance instance;
    try {
      InitializeModules();
      dravik::SetApplicationTitle(kApplicationTitle);
      dravik::SetApplicationTitle(dravik::ApplicationTitle() + kApplicationTitleSuffix);

      if (instance.CheckOtherInstance(params) == dravik::TInstanceCheck::kAnotherInstance) {
        dravik::WriteLog(nullptr, dravik::AnotherInstanceRunningText, 2);
      } else {
        // Both are stopped by the loop's shutdown and go before the modules' finalisation.
        dravik::TAutoUpdate autoUpdate;
        dravik::TProxyMonitor proxyMonitor;
        status = dravik::RunMainLoop(dravik::HeadlessFaceWanted(),
                                     argc > 0 ? argv[0] : "DravikPluginHost", instance, autoUpdate,
                                     proxyMonitor);
      }
    } catch (const std::exception& error) {
      ReportStartError(error);
      status = 1;
    } catch (...) {
      dravik::WriteLog(nullptr, "Program start: unknown exception", 0);
      std::fprintf(stderr, "DravikPluginHost: unknown exception\n");
      status = 1;
    }
    FinalizeModules(instance);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "DravikPluginHost: %s\n", error.what());
    status = 1;
  } catch (...) {
    std::fprintf(stderr, "DravikPluginHost: unknown exception\n");
    status = 1;
  }
  return status;
}
