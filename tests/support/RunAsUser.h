// Runs a piece of the test in a forked child that has dropped root, so that refusals by the
// file system can be observed from a test suite that runs as root.
#ifndef ORVANTA_TESTS_RUNASUSER_H
#define ORVANTA_TESTS_RUNASUSER_H

#include <grp.h>
#include <pwd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace orvanta::test {

// Calls body in a child running as uid (with that account's group and no supplementary groups)
// and returns the text it produced; nullopt when privileges could not be dropped, body threw, or
// the child did not end normally.
inline std::optional<std::string> RunAsUser(uid_t uid, const std::function<std::string()>& body) {
  const passwd* account = getpwuid(uid);
  const gid_t gid = account != nullptr ? account->pw_gid : static_cast<gid_t>(uid);
  int channel[2];
  if (pipe(channel) != 0)
    return std::nullopt;
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    close(channel[0]);
    close(channel[1]);
    return std::nullopt;
  }
  if (child == 0) {
    close(channel[0]);
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
      _exit(2);
    std::string text;
    try {
      text = body();
    } catch (...) {
      _exit(3);
    }
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t n = write(channel[1], text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        _exit(4);
      done += static_cast<std::size_t>(n);
    }
    _exit(0);
  }
  close(channel[1]);
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(channel[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(channel[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return std::nullopt;
  return text;
}

} // namespace orvanta::test

#endif // ORVANTA_TESTS_RUNASUSER_H
