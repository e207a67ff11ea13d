#include "support/run_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace qmr::test {

namespace {

std::string env_or(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::vector<std::string> command_for(const std::vector<std::string>& args) {
  std::vector<std::string> command;
  const std::string wrapper = env_or("QMR_E2E_WRAPPER", "");
  if (!wrapper.empty()) command.push_back(wrapper);
  command.push_back(env_or("QMR_E2E_BINARY", QMR_BINARY));
  command.insert(command.end(), args.begin(), args.end());
  // The whole suite runs again with a fixed number of workers (but a run
  // without arguments stays one: it asks for help).
  const std::string threads = env_or("QMR_E2E_THREADS", "");
  const bool chosen = std::any_of(args.begin(), args.end(), [](const std::string& a) {
    return a.rfind("/THREADS:", 0) == 0;
  });
  if (!threads.empty() && !chosen && !args.empty()) command.push_back("/THREADS:" + threads);
  return command;
}

int open_terminal(int& follower) {
  const int leader = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (leader < 0 || ::grantpt(leader) != 0 || ::unlockpt(leader) != 0) {
    throw std::runtime_error("no pseudo-terminal");
  }
  follower = ::open(::ptsname(leader), O_RDWR | O_NOCTTY);
  return leader;
}

// Windows writes text with CR LF line ends; the lines are what is compared.
std::string without_carriage_returns(const std::string& text) {
  std::string lines;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lines += text[i];
  }
  return lines;
}

}  // namespace

bool windows_tool() { return env_or("QMR_E2E_WINDOWS", "") == "1"; }

char tool_separator() { return windows_tool() ? '\\' : '/'; }

std::string tool_path(const std::string& host_path) {
  if (!windows_tool()) return host_path;
  std::string path = "Z:" + host_path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

ToolResult run_tool(const std::vector<std::string>& args, RunSettings settings) {
  const std::vector<std::string> command = command_for(args);
  int read_end = -1;
  int write_end = -1;
  if (settings.terminal) {
    read_end = open_terminal(write_end);
  } else {
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) throw std::runtime_error("pipe failed");
    read_end = pipe_ends[0];
    write_end = pipe_ends[1];
  }
  char errors_path[] = "/tmp/qmr-errors-XXXXXX";
  const int errors_fd = ::mkstemp(errors_path);
  if (errors_fd < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(errors_path);
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    const int null_in = ::open("/dev/null", O_RDONLY);
    ::dup2(null_in, 0);
    ::dup2(write_end, 1);
    ::dup2(errors_fd, 2);
    ::close(read_end);
    if (settings.unprivileged && ::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(126);
    }
    std::vector<char*> argv;
    for (const std::string& part : command) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    _exit(127);
  }
  ::close(write_end);
  ToolResult result;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(read_end, buffer, sizeof buffer);
    if (n <= 0) break;  // a terminal reports EIO once the child has gone
    result.output.append(buffer, static_cast<size_t>(n));
  }
  ::close(read_end);

  int status = 0;
  ::waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(errors_fd, buffer, sizeof buffer, at);
    if (n <= 0) break;
    result.errors.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  ::close(errors_fd);
  if (windows_tool()) {
    result.output = without_carriage_returns(result.output);
    result.errors = without_carriage_returns(result.errors);
  }
  return result;
}

PausedRun::PausedRun(const std::vector<std::string>& args, const std::string& pause,
                     const std::function<void()>& in_child) {
  const std::vector<std::string> command = command_for(args);
  int input[2];
  int errors[2];
  if (::pipe(input) != 0 || ::pipe(errors) != 0) throw std::runtime_error("pipe failed");
  child_ = ::fork();
  if (child_ < 0) throw std::runtime_error("fork failed");
  if (child_ == 0) {
    ::dup2(input[0], 0);
    ::dup2(errors[1], 2);
    for (const int fd : {input[0], input[1], errors[0], errors[1]}) ::close(fd);
    in_child();
    ::setenv("QMR_TEST_PAUSE", pause.c_str(), 1);
    std::vector<char*> argv;
    for (const std::string& part : command) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    _exit(127);
  }
  ::close(input[0]);
  ::close(errors[1]);
  to_child_ = input[1];
  from_child_ = errors[0];
}

PausedRun::~PausedRun() {
  if (child_ > 0 && status_ < 0) finish();
}

bool PausedRun::paused() {
  char buffer[256];
  while (errors_.find("qmr: paused at ") == std::string::npos) {
    const ssize_t n = ::read(from_child_, buffer, sizeof buffer);
    if (n <= 0) return false;
    errors_.append(buffer, static_cast<size_t>(n));
  }
  // The whole line, so that what follows it is the run's own.
  while (errors_.find('\n', errors_.find("qmr: paused at ")) == std::string::npos) {
    const ssize_t n = ::read(from_child_, buffer, sizeof buffer);
    if (n <= 0) return false;
    errors_.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

void PausedRun::signal(int number) const { ::kill(child_, number); }

void PausedRun::resume(char go) {
  if (to_child_ < 0) return;
  // A run killed meanwhile reads nothing: no SIGPIPE for the test.
  struct sigaction ignore{};
  struct sigaction before{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &before);
  [[maybe_unused]] const ssize_t written = ::write(to_child_, &go, 1);
  ::sigaction(SIGPIPE, &before, nullptr);
  ::close(to_child_);
  to_child_ = -1;
}

int PausedRun::finish(char go) {
  if (status_ >= 0) return status_;
  resume(go);
  char buffer[4096];
  for (ssize_t n; (n = ::read(from_child_, buffer, sizeof buffer)) > 0;) errors_.append(buffer, static_cast<size_t>(n));
  ::close(from_child_);
  int status = 0;
  ::waitpid(child_, &status, 0);
  status_ = status;
  if (windows_tool()) errors_ = without_carriage_returns(errors_);
  return status_;
}

}  // namespace qmr::test
