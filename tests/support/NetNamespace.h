// Runs a piece of a test in a forked child inside fresh Linux namespaces, so that interfaces,
// addresses and mounts can be made without touching the host: a new network namespace starts
// with a loopback interface that is down, a new mount namespace starts with private copies of the
// host's mounts. Call it from a single-threaded test process: the child goes on running test code
// after fork.
#ifndef ORVANTA_TESTS_NETNAMESPACE_H
#define ORVANTA_TESTS_NETNAMESPACE_H

#include "TestSupport.h"

#include <sched.h>

#include <functional>
#include <string>
#include <vector>

namespace orvanta::test {

struct NamespaceRun {
  bool permitted = false;          // false when the system refused the namespaces: skip
  std::string refusal;             // the one-line reason when not permitted
  std::string error;               // why the run failed (setup command, child died); empty if not
  std::vector<std::string> values; // what the body returned
};

// Forks a child that enters new namespaces (CLONE_NEWNET and / or CLONE_NEWNS), runs each setup
// command through /bin/sh (each must exit with 0) and then body, and hands back body's values.
inline NamespaceRun RunInNamespaces(int flags, const std::vector<std::string>& setup,
                                    const std::function<std::vector<std::string>()>& body) {
  ChildOptions options;
  options.namespaces = flags;
  options.setupCommands = setup;
  options.body = [&] { return PackValues(body()); };
  const ChildRun child = RunChild(options);
  NamespaceRun run;
  run.refusal = child.refusal;
  if (!run.refusal.empty())
    return run;
  run.permitted = true;
  if (!child.error.empty()) {
    run.error = child.error;
  } else if (!child.returned || child.status != 0) {
    run.error = "the child died before reporting (status " + std::to_string(child.status) + ")";
  } else {
    run.values = UnpackValues(child.value);
  }
  return run;
}

} // namespace orvanta::test

// Skips the test when the namespaces were refused, fails it when the run went wrong.
#define ORVANTA_EXPECT_NAMESPACE_RUN(run)                                                          \
  do {                                                                                             \
    ORVANTA_SKIP_IF_REFUSED(run);                                                                  \
    ASSERT_EQ((run).error, "");                                                                    \
  } while (false)

#endif // ORVANTA_TESTS_NETNAMESPACE_H
