#include "HeadlessLoop.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include "Fm_MainController.h"
#include "HeadlessMainView.h"
#include "KvClock.h"
#include "KvSysTools.h"
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
  using TTickHandler = std::function<void(TMainTimer)>;

  explicit TLoopMainView(TTickHandler onTick) : onTick_(std::move(onTick)) {
    QObject::connect(&startTimer_, &QTimer::timeout, [this] { onTick_(TMainTimer::Start); });
    QObject::connect(&trayTimer_, &QTimer::timeout, [this] { onTick_(TMainTimer::Tray); });
  }

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
  TTickHandler onTick_;
  QTimer startTimer_;
  QTimer trayTimer_;
};

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

int RunHeadlessLoop(const char* programPath, TUniqueInstance& instance, IAutoUpdateSeam& autoUpdate,
                    IProxyMonitorSeam& proxyMonitor) {
  // Qt sees the program path alone: the command line belongs to the instance channel.
  int qtArgc = 1;
  char* qtArgv[] = {const_cast<char*>(programPath), nullptr};
  QCoreApplication app(qtArgc, qtArgv);

  SetDialogPresenter(MakeDefaultPresenter(true));
  QSocketNotifier dialogNotifier(DialogQueueWakeFd(), QSocketNotifier::Read);
  QObject::connect(&dialogNotifier, &QSocketNotifier::activated, [] {
    try {
      ProcessPendingDialogs();
    } catch (...) {
      LogLoopError("Serving the dialogs", std::current_exception());
    }
  });

  TMainController* controller = nullptr;
  TLoopMainView view([&controller](TMainTimer timer) {
    if (!controller) return;
    if (timer == TMainTimer::Start)
      controller->OnStartTimer();
    else
      controller->OnTrayTimer();
  });
  auto owned = std::make_unique<TMainController>(view, SystemClock(), TMainServices::Default(),
                                                 autoUpdate, proxyMonitor);
  controller = owned.get();

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

  const int status = app.exec();

  // The shutdown order: no dialog may hold up the stop, the services go before the
  // listeners, and the connection threads are joined while the host is still there.
  instancePoll.stop();
  view.StopTimers();
  CloseDialogBridge();
  proxyMonitor.StopProxyMonitor();
  autoUpdate.StopAutoUpdate();
  if (const std::shared_ptr<TPluginHost> host = PluginHost()) host->StopServers();
  CleanupServerThreads();
  SetTerminateHandler(nullptr);
  controller = nullptr;
  owned.reset();
  signalNotifier.setEnabled(false);
  signalPipe.reset();
  dialogNotifier.setEnabled(false);
  SetDialogPresenter(nullptr);
  return status;
}

}  // namespace dravik
