#include "TestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace orvanta::test {

namespace stdfs = std::filesystem;

ScratchDir::ScratchDir(const std::string& prefix) {
  std::string pattern = (stdfs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // A test may have left folders without write or search permission.
  for (auto it = stdfs::recursive_directory_iterator(path_, ignored);
       it != stdfs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      stdfs::permissions(it->path(), stdfs::perms::owner_all, stdfs::perm_options::add, ignored);
  }
  stdfs::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = std::getenv(name))
    saved_ = old;
  if (value)
    setenv(name, value->c_str(), 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (saved_)
    setenv(name_.c_str(), saved_->c_str(), 1);
  else
    unsetenv(name_.c_str());
}

void WriteFile(const std::string& path, const std::string& content, int mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out)
    throw std::runtime_error("cannot write " + path);
  out.close();
  chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void MakeDirs(const std::string& path) {
  stdfs::create_directories(path);
}

namespace {

void SnapshotInto(const stdfs::path& root, const stdfs::path& folder,
                  std::map<std::string, std::string>& tree) {
  for (const auto& entry : stdfs::directory_iterator(folder)) {
    const std::string relative = entry.path().lexically_relative(root).string();
    const auto type = entry.symlink_status().type();
    if (type == stdfs::file_type::symlink) {
      tree[relative] = "link -> " + stdfs::read_symlink(entry.path()).string();
    } else if (type == stdfs::file_type::directory) {
      tree[relative] = "dir";
      SnapshotInto(root, entry.path(), tree);
    } else if (type == stdfs::file_type::fifo) {
      tree[relative] = "fifo"; // never opened: reading one would wait for a writer
    } else {
      tree[relative] = "file: " + ReadFile(entry.path().string());
    }
  }
}

} // namespace

std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> tree;
  if (stdfs::is_directory(stdfs::symlink_status(root)))
    SnapshotInto(root, root, tree);
  return tree;
}

namespace {

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0)
      text.append(buffer, static_cast<size_t>(n));
  return text;
}

void WriteAll(int fd, const std::string& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

// What the machine answers when it will not grant a namespace or another user: no privilege
// (EPERM, EACCES), no such facility or no mapping for the account (EINVAL), or a limit of zero
// namespaces (ENOSPC). Any other error is a fault of the test.
bool IsRefusal(int error) {
  return error == EPERM || error == EACCES || error == EINVAL || error == ENOSPC;
}

// The child's report on the channel: "R<refusal>", "E<error>" or "V<value>".
[[noreturn]] void Report(int channel, char kind, const std::string& text) {
  WriteAll(channel, kind + text);
  _exit(0);
}

[[noreturn]] void ReportFailedCall(int channel, const std::string& what) {
  const int error = errno;
  Report(channel, IsRefusal(error) ? 'R' : 'E',
         "this machine refused " + what + ": " + std::strerror(error));
}

std::string NamespaceNames(int flags) {
  std::string names;
  if ((flags & CLONE_NEWNET) != 0)
    names = "a network namespace";
  if ((flags & CLONE_NEWNS) != 0)
    names += std::string(names.empty() ? "" : " and ") + "a mount namespace";
  return names.empty() ? "new namespaces" : names;
}

[[noreturn]] void RunChildSteps(int channel, const ChildOptions& options, gid_t gid) {
  if (options.prepare)
    options.prepare();
  if (options.namespaces != 0) {
    if (unshare(options.namespaces) != 0)
      ReportFailedCall(channel, NamespaceNames(options.namespaces) + " (unshare)");
    // Mounts made here must not travel back to the host's namespace.
    if ((options.namespaces & CLONE_NEWNS) != 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      ReportFailedCall(channel, "private mounts (mount MS_PRIVATE)");
  }
  for (const std::string& command : options.setupCommands)
    if (std::system(command.c_str()) != 0)
      Report(channel, 'E', "setup command failed: " + command);
  if (options.runAs) {
    const std::string who = "running as uid " + std::to_string(*options.runAs);
    if (setgroups(0, nullptr) != 0)
      ReportFailedCall(channel, who + " (setgroups)");
    if (setgid(gid) != 0)
      ReportFailedCall(channel, who + " (setgid " + std::to_string(gid) + ")");
    if (setuid(*options.runAs) != 0)
      ReportFailedCall(channel, who + " (setuid)");
  }
  std::string value;
  try {
    if (options.body)
      value = options.body();
  } catch (const std::exception& e) {
    Report(channel, 'E', "the child's body threw: " + std::string(e.what()));
  } catch (...) {
    Report(channel, 'E', "the child's body threw");
  }
  Report(channel, 'V', value);
}

} // namespace

ChildRun RunChild(const ChildOptions& options) {
  ChildRun run;
  gid_t gid = 0;
  if (options.runAs) {
    const passwd* account = getpwuid(*options.runAs);
    gid = account != nullptr ? account->pw_gid : static_cast<gid_t>(*options.runAs);
  }
  // The channel closes when the child execs, so a program's run reports nothing.
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) {
    run.error = "pipe: " + std::string(std::strerror(errno));
    return run;
  }
  // Output buffered now would be written twice, once by each process.
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    run.error = "fork: " + std::string(std::strerror(errno));
    close(channel[0]);
    close(channel[1]);
    return run;
  }
  if (child == 0) {
    close(channel[0]);
    RunChildSteps(channel[1], options, gid);
  }
  close(channel[1]);
  const std::string report = ReadAll(channel[0]);
  close(channel[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.pid = child;
  if (report.empty())
    return run;
  const std::string text = report.substr(1);
  if (report[0] == 'R') {
    run.refusal = text;
  } else if (report[0] == 'E') {
    run.error = text;
  } else {
    run.returned = true;
    run.value = text;
  }
  return run;
}

const std::string& RunAsRefusal(uid_t uid) {
  static std::map<uid_t, std::string> refusals;
  const auto known = refusals.find(uid);
  if (known != refusals.end())
    return known->second;
  ChildOptions options;
  options.runAs = uid;
  return refusals[uid] = RunChild(options).refusal;
}

ProgramResult RunProgram(const std::string& program, const ProgramOptions& options) {
  ScratchDir captures("orvanta-run");
  const std::string outPath = captures / "out", errPath = captures / "err";

  std::vector<std::string> envStrings;
  std::map<std::string, std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const auto eq = text.find('=');
    if (eq != std::string::npos)
      env[text.substr(0, eq)] = text.substr(eq + 1);
  }
  for (const auto& [name, value] : options.env)
    env[name] = value;
  for (const auto& [name, value] : env)
    envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& text : envStrings)
    envp.push_back(text.data());
  envp.push_back(nullptr);

  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv;
  for (auto& text : argStrings)
    argv.push_back(text.data());
  argv.push_back(nullptr);

  ChildOptions child;
  // The capture files are opened before any drop of privileges, in the test's scratch folder.
  child.prepare = [&] {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0)
      _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
  };
  child.runAs = options.runAs;
  child.body = [&]() -> std::string {
    if (options.inChild)
      options.inChild();
    execve(program.c_str(), argv.data(), envp.data());
    // Only reached when the program could not be started: the reason goes back to the parent.
    return std::to_string(errno);
  };
  const ChildRun run = RunChild(child);

  ProgramResult result;
  result.status = run.status;
  result.refusal = run.refusal;
  result.pid = run.pid;
  if (run.returned) {
    const int error = std::atoi(run.value.c_str());
    result.status = 127;
    // Another user may not reach the program at all, as when the build lies below root's own
    // private home folder: that is the machine's doing, not the program's.
    if (options.runAs && (error == EACCES || error == EPERM))
      result.refusal = "this machine refused running " + program + " as uid " +
                       std::to_string(*options.runAs) + ": " + std::strerror(error) +
                       " (a folder on its path is closed to that user)";
    else
      result.err += "cannot run " + program + ": " + std::strerror(error) + "\n";
  }
  const int out = open(outPath.c_str(), O_RDONLY);
  const int err = open(errPath.c_str(), O_RDONLY);
  result.out = ReadAll(out);
  result.err = ReadAll(err);
  close(out);
  close(err);
  // The program never ran: no exit status of its own to report.
  if (!run.refusal.empty() || !run.error.empty()) {
    result.status = -1;
    result.err += run.error;
  }
  return result;
}

void OutputToGoneReader() {
  std::signal(SIGPIPE, SIG_DFL);
  int ends[2];
  if (pipe(ends) != 0)
    return;
  close(ends[0]);
  dup2(ends[1], STDOUT_FILENO);
  dup2(ends[1], STDERR_FILENO);
  close(ends[1]);
}

std::string PackValues(const std::vector<std::string>& values) {
  std::string packed;
  for (const std::string& value : values)
    packed += std::to_string(value.size()) + "\n" + value;
  return packed;
}

std::vector<std::string> UnpackValues(const std::string& packed) {
  std::vector<std::string> values;
  for (std::size_t at = 0; at < packed.size();) {
    const std::size_t newline = packed.find('\n', at);
    if (newline == std::string::npos)
      break;
    const std::size_t length = std::stoul(packed.substr(at, newline - at));
    values.push_back(packed.substr(newline + 1, length));
    at = newline + 1 + length;
  }
  return values;
}

StubTools::StubTools(const std::string& folder, const std::vector<std::string>& tools)
    : folder_(folder), log_(folder + "/calls.log") {
  MakeDirs(folder_);
  WriteFile(log_, "");
  for (const std::string& tool : tools) {
    WriteFile(folder_ + "/" + tool,
              "#!/bin/sh\nprintf '%s\\n' \"" + tool + " $*\" >> '" + log_ + "'\nexit 0\n", 0755);
  }
}

std::vector<std::string> StubTools::Calls() const {
  std::vector<std::string> calls;
  std::istringstream lines(ReadFile(log_));
  for (std::string line; std::getline(lines, line);)
    calls.push_back(line);
  return calls;
}

std::string StubTools::Path() const {
  return folder_ + ":/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
}

uid_t NobodyUid() {
  const passwd* account = getpwnam("nobody");
  return account != nullptr ? account->pw_uid : 65534;
}

} // namespace orvanta::test
