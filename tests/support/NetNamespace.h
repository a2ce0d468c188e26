// Runs a piece of a test in a forked child inside fresh Linux namespaces, so that interfaces,
// addresses and mounts can be made without touching the host: a new network namespace starts
// with a loopback interface that is down, a new mount namespace starts with private copies of the
// host's mounts. Header-only, for the tests that need it. Call it from a single-threaded test
// process: the child goes on running test code after fork.
#ifndef ORVANTA_TESTS_NETNAMESPACE_H
#define ORVANTA_TESTS_NETNAMESPACE_H

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace orvanta::test {

struct NamespaceRun {
  bool permitted = false;          // false when the system refused the namespaces: skip
  std::string error;               // why the run failed (setup command, child died); empty if not
  std::vector<std::string> values; // what the body returned
};

namespace detail {

inline void WriteAll(int fd, const std::string& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

// The child's report: "S" (namespaces refused), "E<message>", or "V" followed by each value as
// "<length>\n<bytes>".
[[noreturn]] inline void RunChild(int fd, int flags, const std::vector<std::string>& setup,
                                  const std::function<std::vector<std::string>()>& body) {
  if (unshare(flags) != 0) {
    WriteAll(fd, "S");
    _exit(0);
  }
  // Mounts made here must not travel back to the host's namespace.
  if ((flags & CLONE_NEWNS) != 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
    WriteAll(fd, "Emaking mounts private: " + std::string(std::strerror(errno)));
    _exit(0);
  }
  for (const std::string& command : setup) {
    if (std::system(command.c_str()) != 0) {
      WriteAll(fd, "Esetup command failed: " + command);
      _exit(0);
    }
  }
  std::string report = "V";
  try {
    for (const std::string& value : body())
      report += std::to_string(value.size()) + "\n" + value;
  } catch (const std::exception& e) {
    report = "Ebody threw: " + std::string(e.what());
  } catch (...) {
    report = "Ebody threw";
  }
  WriteAll(fd, report);
  _exit(0);
}

} // namespace detail

// Forks a child that enters new namespaces (CLONE_NEWNET and / or CLONE_NEWNS), runs each setup
// command through /bin/sh (each must exit with 0) and then body, and hands back body's values.
inline NamespaceRun RunInNamespaces(int flags, const std::vector<std::string>& setup,
                                    const std::function<std::vector<std::string>()>& body) {
  NamespaceRun run;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    run.error = "pipe: " + std::string(std::strerror(errno));
    return run;
  }
  const pid_t child = fork();
  if (child < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    run.error = "fork: " + std::string(std::strerror(errno));
    return run;
  }
  if (child == 0) {
    close(pipeFds[0]);
    detail::RunChild(pipeFds[1], flags, setup, body);
  }
  close(pipeFds[1]);
  std::string report;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    report.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }

  if (report == "S")
    return run;
  run.permitted = true;
  if (report.empty() || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    run.error = "the child died before reporting (status " + std::to_string(status) + ")";
  } else if (report[0] == 'E') {
    run.error = report.substr(1);
  } else {
    for (std::size_t at = 1; at < report.size();) {
      const std::size_t newline = report.find('\n', at);
      const std::size_t length = std::stoul(report.substr(at, newline - at));
      run.values.push_back(report.substr(newline + 1, length));
      at = newline + 1 + length;
    }
  }
  return run;
}

} // namespace orvanta::test

// Skips the test when the namespaces were refused, fails it when the run went wrong.
#define ORVANTA_EXPECT_NAMESPACE_RUN(run)                                                          \
  do {                                                                                             \
    if (!(run).permitted)                                                                          \
      GTEST_SKIP() << "namespaces are not permitted here";                                         \
    ASSERT_EQ((run).error, "");                                                                    \
  } while (false)

#endif // ORVANTA_TESTS_NETNAMESPACE_H
