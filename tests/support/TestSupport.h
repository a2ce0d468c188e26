// Shared fixtures for the tests: scratch folders, scoped environment variables, running a built
// program with a given environment, recording stubs for the tools this machine lacks.
#ifndef ORVANTA_TESTS_TESTSUPPORT_H
#define ORVANTA_TESTS_TESTSUPPORT_H

#include <sys/types.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orvanta::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchDir {
public:
  explicit ScratchDir(const std::string& prefix = "orvanta-test");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable for the scope.
class ScopedEnv {
public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
  std::string name_;
  std::optional<std::string> saved_;
};

void WriteFile(const std::string& path, const std::string& content, int mode = 0644);
std::string ReadFile(const std::string& path);
void MakeDirs(const std::string& path);

// Every regular file, folder, link and FIFO below root as "relative path -> content/kind", so whole
// trees compare with one ==.
std::map<std::string, std::string> Snapshot(const std::string& root);

// --- Running a piece of a test in a child process ------------------------------------------------
// The one fork / pipe / wait runner under RunProgram, RunAsUser and RunInNamespaces. The child
// takes its steps in this order, each only when asked for: prepare(); enter new namespaces (and
// make its mounts private); run the setup commands through /bin/sh; drop to another user (that
// account's group, no supplementary groups); body(). What body returns comes back to the parent.
// Call it from a single-threaded test process: the child goes on running test code after fork.
struct ChildOptions {
  std::function<void()> prepare;          // first, with the test's own privileges
  int namespaces = 0;                     // CLONE_NEWNET and / or CLONE_NEWNS
  std::vector<std::string> setupCommands; // each must exit with 0
  std::optional<uid_t> runAs;
  // The child's last step; may exec (the report channel closes on exec).
  std::function<std::string()> body;
};

struct ChildRun {
  // Set when the machine refused what the child needs (a namespace, another user): the one-line
  // reason a test skips with. The project is not at fault then.
  std::string refusal;
  // Set when the run went wrong for any other reason (a setup command failed, body threw).
  std::string error;
  bool returned = false; // body returned (false when it exec'd, exited, or never ran)
  std::string value;     // what body returned
  int status = -1;       // the child's exit status, or 128 + signal number
  pid_t pid = -1;        // the child's process id (a program's, when body exec'd)
};

ChildRun RunChild(const ChildOptions& options);

// Skips the test with the reason when the machine refused what a child run needed. Works on any
// result with a refusal member: ChildRun, ProgramResult, UserRun, NamespaceRun.
#define ORVANTA_SKIP_IF_REFUSED(run)                                                               \
  do {                                                                                             \
    if (!(run).refusal.empty())                                                                    \
      GTEST_SKIP() << (run).refusal;                                                               \
  } while (false)

// The refusal that running as uid meets on this machine (empty when it is allowed), found once per
// process by a child that tries. For tests whose setup already needs the other user.
const std::string& RunAsRefusal(uid_t uid);

// Skips the test when this machine does not let the suite act as another user.
#define ORVANTA_REQUIRE_RUN_AS(uid)                                                                \
  do {                                                                                             \
    if (const std::string& why = ::orvanta::test::RunAsRefusal(uid); !why.empty())                 \
      GTEST_SKIP() << why;                                                                         \
  } while (false)

struct ProgramResult {
  int status = -1;      // exit status, or 128 + signal number
  std::string out, err; // captured standard output and error
  std::string refusal;  // set when the machine refused options.runAs: the program did not run
  pid_t pid = -1;       // the program's process id
};

struct ProgramOptions {
  std::vector<std::string> arguments;     // argv[1..]
  std::map<std::string, std::string> env; // added to / overriding the current environment
  std::optional<uid_t> runAs;             // drop to this uid (and its gid) before exec
  std::function<void()> inChild;          // runs in the child just before exec
};

// Runs the program to its end and captures its output.
ProgramResult RunProgram(const std::string& program, const ProgramOptions& options);

// For ProgramOptions::inChild: puts standard output and error on a pipe whose reader is already
// closed, SIGPIPE at its default action, as when the program's caller has gone away.
void OutputToGoneReader();

// Several texts as one ("<length>\n<bytes>" each), to travel back from a child, and back.
std::string PackValues(const std::vector<std::string>& values);
std::vector<std::string> UnpackValues(const std::string& packed);

// A folder of recording stubs: each named tool appends one line "tool args..." to log() and exits
// 0 without printing.
class StubTools {
public:
  StubTools(const std::string& folder, const std::vector<std::string>& tools);
  const std::string& folder() const { return folder_; }
  const std::string& log() const { return log_; }
  // The recorded lines, in order.
  std::vector<std::string> Calls() const;
  // PATH with the stubs first, then the system's own folders.
  std::string Path() const;

private:
  std::string folder_, log_;
};

// The uid of an unprivileged account to drop to in refusal tests.
uid_t NobodyUid();

} // namespace orvanta::test

#endif // ORVANTA_TESTS_TESTSUPPORT_H
