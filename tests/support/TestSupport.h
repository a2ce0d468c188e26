// Shared fixtures for the tests: scratch folders, scoped environment variables, running a built
// program with a given environment, recording stubs for the tools this machine lacks.
#ifndef ORVANTA_TESTS_TESTSUPPORT_H
#define ORVANTA_TESTS_TESTSUPPORT_H

#include <sys/types.h>

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

// Every regular file, folder and link below root as "relative path -> content/kind", so whole
// trees compare with one ==.
std::map<std::string, std::string> Snapshot(const std::string& root);

struct ProgramResult {
  int status = -1;      // exit status, or 128 + signal number
  std::string out, err; // captured standard output and error
};

struct ProgramOptions {
  std::vector<std::string> arguments;     // argv[1..]
  std::map<std::string, std::string> env; // added to / overriding the current environment
  std::optional<uid_t> runAs;             // drop to this uid (and its gid) before exec
  std::function<void()> inChild;          // runs in the child just before exec
};

// Runs the program to its end and captures its output.
ProgramResult RunProgram(const std::string& program, const ProgramOptions& options);

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
