// Runs a piece of the test in a forked child that has dropped root, so that refusals by the
// file system can be observed from a test suite that runs as root.
#ifndef ORVANTA_TESTS_RUNASUSER_H
#define ORVANTA_TESTS_RUNASUSER_H

#include "TestSupport.h"

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace orvanta::test {

// The text body produced, or nullopt when it did not come back; refusal says why when the machine
// would not let the suite act as another user (skip then, with ORVANTA_ASSERT_RAN).
struct UserRun : std::optional<std::string> {
  std::string refusal;
  std::string error;
};

// Calls body in a child running as uid (with that account's group and no supplementary groups)
// and returns the text it produced; nullopt when privileges could not be dropped, body threw, or
// the child did not end normally.
inline UserRun RunAsUser(uid_t uid, const std::function<std::string()>& body) {
  ChildOptions options;
  options.runAs = uid;
  options.body = body;
  ChildRun run = RunChild(options);
  UserRun result;
  result.refusal = std::move(run.refusal);
  result.error = std::move(run.error);
  if (run.returned && run.status == 0)
    result.emplace(std::move(run.value));
  else if (result.error.empty() && result.refusal.empty())
    result.error = "the child ended with status " + std::to_string(run.status);
  return result;
}

} // namespace orvanta::test

// Skips the test when the machine refused the other user; fails it when the run went wrong.
#define ORVANTA_ASSERT_RAN(run)                                                                    \
  do {                                                                                             \
    ORVANTA_SKIP_IF_REFUSED(run);                                                                  \
    ASSERT_TRUE((run).has_value()) << (run).error;                                                 \
  } while (false)

#endif // ORVANTA_TESTS_RUNASUSER_H
