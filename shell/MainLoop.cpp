#include "MainLoop.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <string_view>

#include "Fm_Main.h"
#include "Fm_MainController.h"
#include "HeadlessMainView.h"
#include "KvClock.h"
#include "KvSysTools.h"
#include "QtDialogPresenter.h"
#include "U_AppHooks.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_ThreadDialogs.h"
#include "U_WebServer.h"
#include "UniqueInstance.h"

namespace dravik {

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The write end of the self-pipe that turns a stop signal into an event of the loop.
constinit std::atomic<int> gSignalPipeWrite{-1};

extern "C" void OnStopSignal(int signalNumber) {
  const int savedErrno = errno;
  const int fd = gSignalPipeWrite.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a pending stop: losing this byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
  }
  errno = savedErrno;
}

// The stop signals delivered into the loop through a non-blocking close-on-exec pipe.
class TSignalPipe {
 public:
  TSignalPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
      throw EOSError("Creating the signal pipe: " + SysErrorMessage(errno));
    read_ = TUniqueFd(fds[0]);
    write_ = TUniqueFd(fds[1]);
    gSignalPipeWrite.store(write_.Get());
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : kStopSignals) ::sigaction(signalNumber, &action, nullptr);
  }
  // The stop is under way by now: later signals are ignored, so that the shutdown that
  // deletes the temporary files and closes the log is not cut short.
  ~TSignalPipe() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    ::sigemptyset(&action.sa_mask);
    for (const int signalNumber : kStopSignals) ::sigaction(signalNumber, &action, nullptr);
    gSignalPipeWrite.store(-1);
  }
  TSignalPipe(const TSignalPipe&) = delete;
  TSignalPipe& operator=(const TSignalPipe&) = delete;

  int ReadFd() const noexcept { return read_.Get(); }

  // Empties the pipe; true when a signal had arrived.
  bool Drain() noexcept {
    bool any = false;
    unsigned char buffer[64];
    for (;;) {
      const ssize_t n = ::read(read_.Get(), buffer, sizeof buffer);
      if (n > 0) {
        any = true;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return any;
    }
  }

 private:
  TUniqueFd read_;
  TUniqueFd write_;
};

// The headless view whose timers run on the event loop and whose quit request ends it.
class TLoopMainView final : public THeadlessMainView {
 public:
  TLoopMainView() {
    QObject::connect(&startTimer_, &QTimer::timeout, [this] {
      if (actions_) actions_->OnStartTimer();
    });
    QObject::connect(&trayTimer_, &QTimer::timeout, [this] {
      if (actions_) actions_->OnTrayTimer();
    });
  }

  void SetActions(IMainActions* actions) noexcept { actions_ = actions; }

  void SetTimer(TMainTimer timer, bool on, std::int32_t intervalMs) override {
    THeadlessMainView::SetTimer(timer, on, intervalMs);
    QTimer& qtimer = timer == TMainTimer::Start ? startTimer_ : trayTimer_;
    if (on)
      qtimer.start(intervalMs);
    else
      qtimer.stop();
  }

  // Queued, so that a request made before the loop runs, or from another thread, ends the
  // loop once control returns to it.
  void RequestQuit() noexcept override {
    THeadlessMainView::RequestQuit();
    try {
      if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    } catch (...) {
      // The flag above stays set; nothing else can be done from here.
    }
  }

  void StopTimers() {
    startTimer_.stop();
    trayTimer_.stop();
  }

 private:
  IMainActions* actions_ = nullptr;
  QTimer startTimer_;
  QTimer trayTimer_;
};

// One of the two views, with what the loop needs of either.
struct TFace {
  std::unique_ptr<IMainView> view;
  std::function<void(IMainActions*)> setActions;
  std::function<void()> stopTimers;
};

TFace MakeFace(bool headless) {
  TFace face;
  if (headless) {
    auto view = std::make_unique<TLoopMainView>();
    TLoopMainView* raw = view.get();
    face.setActions = [raw](IMainActions* actions) { raw->SetActions(actions); };
    face.stopTimers = [raw] { raw->StopTimers(); };
    face.view = std::move(view);
  } else {
    auto view = std::make_unique<TFmMain>();
    TFmMain* raw = view.get();
    face.setActions = [raw](IMainActions* actions) { raw->SetActions(actions); };
    face.stopTimers = [raw] { raw->StopTimers(); };
    face.view = std::move(view);
  }
  return face;
}

bool EnvironmentSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

void LogLoopError(std::string_view context, std::exception_ptr error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    LogException(nullptr, context, e);
  } catch (...) {
    WriteLog(nullptr, std::string(context) + ": unknown exception", 0);
  }
}

}  // namespace

// Whether the X server named by DISPLAY takes a connection. Qt ends the program with an abort
// when it cannot open its display, so the program looks first; without libxcb Qt decides.
bool XDisplayReachable() noexcept {
  void* library = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!library) return true;
  using TConnect = void* (*)(const char*, int*);
  using TConnectionInt = int (*)(void*);
  using TDisconnect = void (*)(void*);
  const auto connect = reinterpret_cast<TConnect>(::dlsym(library, "xcb_connect"));
  const auto hasError =
      reinterpret_cast<TConnectionInt>(::dlsym(library, "xcb_connection_has_error"));
  const auto disconnect = reinterpret_cast<TDisconnect>(::dlsym(library, "xcb_disconnect"));
  bool reachable = true;
  if (connect && hasError && disconnect) {
    // xcb_connect always gives a connection object, in an error state when it failed.
    void* connection = connect(nullptr, nullptr);
    reachable = connection && hasError(connection) == 0;
    if (connection) disconnect(connection);
  }
  ::dlclose(library);
  return reachable;
}

bool HeadlessFaceWanted() noexcept {
  const char* forced = std::getenv("DRAVIK_HEADLESS");
  if (forced && std::string_view(forced) == "1") return true;
  if (!EnvironmentSet("DISPLAY") && !EnvironmentSet("WAYLAND_DISPLAY") &&
      !EnvironmentSet("QT_QPA_PLATFORM"))
    return true;
  // Only X is named: make sure it can be reached.
  if (EnvironmentSet("DISPLAY") && !EnvironmentSet("WAYLAND_DISPLAY") &&
      !EnvironmentSet("QT_QPA_PLATFORM") && !XDisplayReachable()) {
    WriteLog(nullptr,
             "The display " + std::string(std::getenv("DISPLAY")) +
                 " cannot be opened: running without windows",
             0);
    return true;
  }
  return false;
}

int RunMainLoop(bool headless, const char* programPath, TUniqueInstance& instance,
                IAutoUpdateSeam& autoUpdate, IProxyMonitorSeam& proxyMonitor) {
  // Qt sees the program path alone: the command line belongs to the instance channel.
  int qtArgc = 1;
  char* qtArgv[] = {const_cast<char*>(programPath), nullptr};
  std::unique_ptr<QCoreApplication> app;
  if (headless) {
    app = std::make_unique<QCoreApplication>(qtArgc, qtArgv);
  } else {
    auto gui = std::make_unique<QApplication>(qtArgc, qtArgv);
    // The program lives in the tray: closing its window does not end it.
    gui->setQuitOnLastWindowClosed(false);
    app = std::move(gui);
  }

  std::unique_ptr<IDialogPresenter> presenter = MakeDefaultPresenter(headless);
  if (!presenter) presenter = std::make_unique<TQtDialogPresenter>();
  SetDialogPresenter(std::move(presenter));
  QSocketNotifier dialogNotifier(DialogQueueWakeFd(), QSocketNotifier::Read);
  QObject::connect(&dialogNotifier, &QSocketNotifier::activated, [] {
    try {
      ProcessPendingDialogs();
    } catch (...) {
      LogLoopError("Serving the dialogs", std::current_exception());
    }
  });

  TFace face = MakeFace(headless);
  auto owned = std::make_unique<TMainController>(
      *face.view, SystemClock(), TMainServices::Default(), autoUpdate, proxyMonitor);
  TMainController* controller = owned.get();
  face.setActions(controller);

  QTimer instancePoll;
  QObject::connect(&instancePoll, &QTimer::timeout, [&instance, controller] {
    try {
      for (const TInstanceMessage& message : instance.Poll())
        controller->OnOtherInstance(InstanceMessageParams(message));
    } catch (...) {
      LogLoopError("Polling the instance channel", std::current_exception());
    }
  });
  instancePoll.start(kInstancePollIntervalMs);

  auto signalPipe = std::make_unique<TSignalPipe>();
  QSocketNotifier signalNotifier(signalPipe->ReadFd(), QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&signalPipe, controller] {
    if (signalPipe->Drain()) controller->Stop();
  });

  SetTerminateHandler([controller] { controller->Stop(); });
  controller->Create();

  // Threads started from here on share this processor, but for the loops' workers, which
  // choose their own; programs started get every processor of the program.
  KeepThreadWithTheFirstLoop();
  const int status = app->exec();

  // The shutdown order: no dialog may hold up the stop, the services go before the
  // listeners, and the connection threads are joined while the host is still there.
  instancePoll.stop();
  face.stopTimers();
  CloseDialogBridge();
  proxyMonitor.StopProxyMonitor();
  autoUpdate.StopAutoUpdate();
  if (const std::shared_ptr<TPluginHost> host = PluginHost()) host->StopServers();
  CleanupServerThreads();
  SetTerminateHandler(nullptr);
  face.setActions(nullptr);
  controller = nullptr;
  owned.reset();
  face.view.reset();
  signalNotifier.setEnabled(false);
  signalPipe.reset();
  dialogNotifier.setEnabled(false);
  SetDialogPresenter(nullptr);
  return status;
}

}  // namespace dravik
