#include "Spawn.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "Processors.h"

extern char** environ;

namespace dravik::platform {

namespace {

// A file just written and closed may still be open for writing in a child that another
// thread forked before the close and has not yet replaced by exec; that passes quickly.
constexpr int kBusyRetries = 20;
constexpr auto kBusyPause = std::chrono::milliseconds(50);

class TSpawnSetup {
 public:
  TSpawnSetup() {
    Check(posix_spawnattr_init(&attr_), "posix_spawnattr_init");
    attrReady_ = true;
    Check(posix_spawn_file_actions_init(&actions_), "posix_spawn_file_actions_init");
    actionsReady_ = true;
  }
  ~TSpawnSetup() {
    if (actionsReady_) posix_spawn_file_actions_destroy(&actions_);
    if (attrReady_) posix_spawnattr_destroy(&attr_);
  }
  TSpawnSetup(const TSpawnSetup&) = delete;
  TSpawnSetup& operator=(const TSpawnSetup&) = delete;

  void Prepare(const std::string& workingDir) {
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    Check(posix_spawnattr_setsigmask(&attr_, &none), "posix_spawnattr_setsigmask");
    // Ignored signals (this program ignores SIGPIPE) would stay ignored across exec.
    Check(posix_spawnattr_setsigdefault(&attr_, &all), "posix_spawnattr_setsigdefault");
    Check(posix_spawnattr_setflags(
              &attr_, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
          "posix_spawnattr_setflags");
    Check(posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0),
          "posix_spawn_file_actions_addopen");
    Check(posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0),
          "posix_spawn_file_actions_addopen");
    Check(posix_spawn_file_actions_adddup2(&actions_, 1, 2), "posix_spawn_file_actions_adddup2");
    if (!workingDir.empty())
      Check(posix_spawn_file_actions_addchdir_np(&actions_, workingDir.c_str()),
            "posix_spawn_file_actions_addchdir_np");
  }

  posix_spawnattr_t* Attr() { return &attr_; }
  posix_spawn_file_actions_t* Actions() { return &actions_; }

  static void Check(int result, const char* what) {
    if (result != 0) throw std::system_error(result, std::generic_category(), what);
  }

 private:
  posix_spawnattr_t attr_{};
  posix_spawn_file_actions_t actions_{};
  bool attrReady_ = false;
  bool actionsReady_ = false;
};

// Gives the calling thread every processor of the program while it lives, and then the ones
// it had again.
class TAllCpus {
 public:
  TAllCpus() noexcept {
    CPU_ZERO(&had_);
    narrowed_ = ::pthread_getaffinity_np(::pthread_self(), sizeof had_, &had_) == 0 &&
                !CPU_EQUAL(&had_, &ProgramCpus()) && SetThreadCpu(-1);
  }
  ~TAllCpus() {
    if (narrowed_) ::pthread_setaffinity_np(::pthread_self(), sizeof had_, &had_);
  }
  TAllCpus(const TAllCpus&) = delete;
  TAllCpus& operator=(const TAllCpus&) = delete;

 private:
  cpu_set_t had_;
  bool narrowed_ = false;
};

}  // namespace

int SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                  const std::string& workingDir) {
  if (program.empty() || program.front() != '/')
    throw std::system_error(ENOENT, std::generic_category(), "Starting a program by relative path");
  TSpawnSetup setup;
  setup.Prepare(workingDir);

  std::vector<std::string> strings;
  strings.reserve(args.size() + 1);
  strings.push_back(program);
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(strings.size() + 1);
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int result = 0;
  {
    // The program gets every processor of ours, not the one this thread may be kept to.
    const TAllCpus allCpus;
    for (int attempt = 0;; ++attempt) {
      result =
          posix_spawn(&pid, program.c_str(), setup.Actions(), setup.Attr(), argv.data(), environ);
      if (result != ETXTBSY || attempt >= kBusyRetries) break;
      std::this_thread::sleep_for(kBusyPause);
    }
  }
  if (result != 0) throw std::system_error(result, std::generic_category(), "posix_spawn");

  try {
    std::thread([pid] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // The program runs all the same; without a thread its exit leaves a zombie until ours.
  }
  return pid;
}

}  // namespace dravik::platform
