// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/error.h"
#include "platform/process.h"

extern char** environ;

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// How often the waiting loop looks at the child and the stop test.
constexpr int kPollMs = 50;
// How long pipes are still drained after the child was killed: a grandchild
// that left the group may hold them open for ever.
constexpr auto kDrainAfterKill = std::chrono::milliseconds(1000);

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }
  void Reset(int fd) {
    Close();
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

class SpawnActions {
 public:
  SpawnActions() { m_ok = ::posix_spawn_file_actions_init(&m_actions) == 0; }
  ~SpawnActions() {
    if (m_ok) ::posix_spawn_file_actions_destroy(&m_actions);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &m_actions; }
  bool ok() const { return m_ok; }

 private:
  posix_spawn_file_actions_t m_actions{};
  bool m_ok = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { m_ok = ::posix_spawnattr_init(&m_attr) == 0; }
  ~SpawnAttributes() {
    if (m_ok) ::posix_spawnattr_destroy(&m_attr);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &m_attr; }
  bool ok() const { return m_ok; }

 private:
  posix_spawnattr_t m_attr{};
  bool m_ok = false;
};

// Starts argv with standard input on /dev/null and standard output and error
// on outFd / errFd (or /dev/null when -1), in a new process group.
Status Spawn(const std::vector<std::string>& argv, int outFd, int errFd, pid_t* pid) {
  if (argv.empty() || argv[0].empty()) return kStatusInvalidParameter;
  SpawnActions actions;
  SpawnAttributes attributes;
  if (!actions.ok() || !attributes.ok()) return kStatusOutOfMemory;
  int r = ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (r == 0) {
    r = outFd >= 0 ? ::posix_spawn_file_actions_adddup2(actions.get(), outFd, STDOUT_FILENO)
                   : ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (r == 0) {
    r = errFd >= 0 ? ::posix_spawn_file_actions_adddup2(actions.get(), errFd, STDERR_FILENO)
                   : ::posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Every descriptor of ours is close-on-exec already; this also covers any a library opened without it.
  if (r == 0) r = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
#endif
  sigset_t noSignals, allSignals;
  sigemptyset(&noSignals);
  sigfillset(&allSignals);
  if (r == 0) r = ::posix_spawnattr_setpgroup(attributes.get(), 0);
  if (r == 0) r = ::posix_spawnattr_setsigmask(attributes.get(), &noSignals);
  if (r == 0) r = ::posix_spawnattr_setsigdefault(attributes.get(), &allSignals);
  if (r == 0) {
    r = ::posix_spawnattr_setflags(attributes.get(),
                                   POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  if (r != 0) return ErrorFromErrno(r);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  r = ::posix_spawnp(pid, args[0], actions.get(), attributes.get(), args.data(), environ);
  return r == 0 ? kStatusOk : ErrorFromErrno(r);
}

// Signals the child and the group it leads. Only called while the child has
// not been waited for, so the pid (and the group id it names) is still ours.
void SignalChild(pid_t pid, int signal) {
  ::kill(-pid, signal);
  ::kill(pid, signal);
}

// True once the child has ended; it stays a zombie (not waited for), so its
// pid keeps naming it and its group.
bool HasEnded(pid_t pid) {
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno == ECHILD;
  return info.si_pid == pid;
}

// Waits for the child and returns its wait status.
int Reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 0;
  }
  return status;
}

struct Stream {
  Fd fd;
  std::string* text = nullptr;
  size_t limit = 0;
  bool open = true;
};

}  // namespace

Status RunProcess(const std::vector<std::string>& argv, const ProcessLimits& limits, ProcessResult* result) {
  *result = ProcessResult{};
  if (argv.empty()) return kStatusInvalidParameter;
  Stream streams[2];
  Fd outWrite, errWrite;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return LastError();
  streams[0].fd.Reset(fds[0]);
  outWrite.Reset(fds[1]);
  if (::pipe2(fds, O_CLOEXEC) != 0) return LastError();
  streams[1].fd.Reset(fds[0]);
  errWrite.Reset(fds[1]);
  pid_t pid = -1;
  if (Status s = Spawn(argv, outWrite.get(), errWrite.get(), &pid); s != kStatusOk) return s;
  outWrite.Close();  // only the child writes now: its end closes the pipes
  errWrite.Close();
  streams[0].text = &result->output;
  streams[0].limit = limits.maxOutputBytes;
  streams[1].text = &result->errors;
  streams[1].limit = limits.maxErrorBytes;

  const auto deadline = Clock::now() + limits.watchdog;
  Clock::time_point drainUntil{};
  bool killed = false;
  bool ended = false;
  auto kill = [&](ProcessEnd why) {
    if (killed) return;
    SignalChild(pid, SIGKILL);
    killed = true;
    result->end = why;
    drainUntil = Clock::now() + kDrainAfterKill;
  };
  char buffer[65536];
  for (;;) {
    if (!ended) ended = HasEnded(pid);
    const bool pipesOpen = streams[0].open || streams[1].open;
    if (ended && !pipesOpen) break;
    const auto now = Clock::now();
    if (killed && now >= drainUntil) break;
    if (!killed && now >= deadline) kill(ProcessEnd::kWatchdog);
    if (!killed && limits.stop && limits.stop()) kill(ProcessEnd::kStopped);
    if (!pipesOpen) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    pollfd polled[2];
    nfds_t count = 0;
    int which[2];
    for (int i = 0; i < 2; ++i) {
      if (!streams[i].open) continue;
      polled[count] = {streams[i].fd.get(), POLLIN, 0};
      which[count++] = i;
    }
    const int ready = ::poll(polled, count, kPollMs);
    if (ready < 0 && errno != EINTR) break;
    for (nfds_t k = 0; ready > 0 && k < count; ++k) {
      if ((polled[k].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      Stream& stream = streams[which[k]];
      const ssize_t n = ::read(stream.fd.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        stream.open = false;
        continue;
      }
      const size_t room = stream.limit - std::min(stream.limit, stream.text->size());
      stream.text->append(buffer, std::min(room, static_cast<size_t>(n)));
      if (static_cast<size_t>(n) > room && which[k] == 0) kill(ProcessEnd::kOutputCut);
    }
  }
  if (!ended && !killed) kill(ProcessEnd::kWatchdog);  // a poll failure: do not wait for ever
  const int status = Reap(pid);
  if (!killed) {
    if (WIFEXITED(status)) {
      result->end = ProcessEnd::kExited;
      result->exitCode = WEXITSTATUS(status);
    } else {
      result->end = ProcessEnd::kSignalled;
    }
  }
  return kStatusOk;
}

Status ChildProcess::Start(const std::vector<std::string>& argv, std::unique_ptr<ChildProcess>* out) {
  out->reset();
  pid_t pid = -1;
  if (Status s = Spawn(argv, -1, -1, &pid); s != kStatusOk) return s;
  *out = std::make_unique<ChildProcess>(Key{}, pid);
  return kStatusOk;
}

ChildProcess::~ChildProcess() {
  End(std::chrono::milliseconds(0));
}

bool ChildProcess::ReapIfEndedLocked() {
  if (m_reaped) return true;
  int status = 0;
  const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
  if (r == m_pid || (r < 0 && errno == ECHILD)) m_reaped = true;
  return m_reaped;
}

bool ChildProcess::IsRunning() {
  std::lock_guard lock(m_mutex);
  return !ReapIfEndedLocked();
}

void ChildProcess::End(std::chrono::milliseconds grace) {
  std::lock_guard lock(m_mutex);
  if (m_reaped) return;
  if (!HasEnded(m_pid)) {
    SignalChild(m_pid, SIGTERM);
    const auto until = Clock::now() + grace;
    while (!HasEnded(m_pid) && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // What it started in its group goes too, then the child is waited for.
  SignalChild(m_pid, SIGKILL);
  Reap(m_pid);
  m_reaped = true;
}

}  // namespace platform
