// POSIX stopping and signals: the standard descriptors made safe before
// anything else, interrupts recorded for the run to stop at its next safe
// point, and the end of an interrupted run by the signal itself.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/platform.h"

namespace qmr {

namespace {

// The first interrupt received. Process-wide by nature: a signal reaches
// the process, not an object. Lock-free, so the handler may set it.
std::atomic<int> g_interrupt{0};
static_assert(std::atomic<int>::is_always_lock_free);

void record_interrupt(int signal_number) {
  int none = 0;
  g_interrupt.compare_exchange_strong(none, signal_number);
}

// A closed 0, 1 or 2 would be handed to the next file opened, and the run's
// output would then be written into a copy.
void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

bool stdout_is_pipe() {
  struct stat st{};
  return ::fstat(STDOUT_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

}  // namespace

void prepare_process() {
  open_standard_descriptors();
  // Past a file-size limit a write fails with EFBIG, which is reported.
  ::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action{};
  action.sa_handler = record_interrupt;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  std::vector<int> signals{SIGINT, SIGTERM, SIGHUP};
  // A reader that goes away (`| head`) stops the run like an interrupt.
  if (stdout_is_pipe()) signals.push_back(SIGPIPE);
  for (const int signal_number : signals) {
    struct sigaction old{};
    // A signal ignored by the caller (nohup) stays ignored.
    if (::sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(signal_number, &action, nullptr);
  }
}

int pending_interrupt() { return g_interrupt.load(); }

int end_process(int status) {
  const int signal_number = pending_interrupt();
  if (signal_number == 0) return status;
  std::fflush(nullptr);
  ::signal(signal_number, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal_number);
  return stopped_status(signal_number);  // should the signal not end the process
}

}  // namespace qmr
