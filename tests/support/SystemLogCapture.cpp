#include "SystemLogCapture.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace orvanta::test {
namespace {

namespace stdfs = std::filesystem;

constexpr const char kDevLog[] = "/dev/log";

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void Check(bool ok, const std::string& what) {
  if (!ok)
    Fail(what);
}

// A host allows only a short datagram queue (often 10); the run's lines must not be dropped
// while the reader waits for the processor. Best effort: the namespace's own setting.
void LengthenDatagramQueue() {
  const int fd = open("/proc/sys/net/unix/max_dgram_qlen", O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    [[maybe_unused]] const ssize_t written = write(fd, "4096\n", 5);
    close(fd);
  }
}

// Covers /dev with a tmpfs that links to each of the host's entries but "log". The host's /dev
// stays reachable, read-only, as /dev/.host; nothing of it lies below the scratch folder once
// the new /dev has moved into place.
void ReplaceDev(const std::string& staging) {
  Check(mount("orvanta-dev", staging.c_str(), "tmpfs", 0, "mode=0755") == 0, "mount tmpfs");
  const std::string host = staging + "/.host";
  Check(mkdir(host.c_str(), 0755) == 0, "mkdir " + host);
  Check(mount("/dev", host.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0, "bind /dev");
  Check(mount(nullptr, host.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0,
        "remount /dev read-only");
  for (const auto& entry : stdfs::directory_iterator(host)) {
    const std::string name = entry.path().filename().string();
    if (name == "log")
      continue;
    const std::string link = staging + "/" + name;
    Check(symlink(("/dev/.host/" + name).c_str(), link.c_str()) == 0, "symlink " + link);
  }
  Check(mount(staging.c_str(), "/dev", nullptr, MS_MOVE, nullptr) == 0, "move the new /dev");
}

bool Readable(int fd, int timeoutMs) {
  pollfd one{fd, POLLIN, 0};
  int ready;
  while ((ready = poll(&one, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  return ready > 0;
}

// One record from the socket without waiting; false when none is there.
bool ReadRecord(int fd, bool stream, std::vector<std::string>& records) {
  if (!stream) {
    std::string buffer(1 << 16, '\0');
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0)
      return false;
    records.push_back(buffer.substr(0, static_cast<std::size_t>(n)));
    return true;
  }
  const int connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (connection < 0)
    return false;
  // The first record, up to its NUL; then the daemon hangs up on the sender.
  std::string record;
  char c;
  while (Readable(connection, 5000) && read(connection, &c, 1) == 1 && c != '\0')
    record += c;
  close(connection);
  records.push_back(record);
  return true;
}

// The reader process: keeps what arrives until stop is closed, then takes what is still queued
// and writes it all, packed, to the file.
[[noreturn]] void ReadUntilStopped(int fd, bool stream, int stop, const std::string& file) {
  std::vector<std::string> records;
  for (;;) {
    pollfd both[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
    if (poll(both, 2, -1) < 0 && errno != EINTR)
      break;
    if ((both[0].revents & POLLIN) != 0)
      ReadRecord(fd, stream, records);
    else if (both[1].revents != 0)
      break;
  }
  fcntl(fd, F_SETFL, O_NONBLOCK);
  while (ReadRecord(fd, stream, records)) {
  }
  WriteFile(file, PackValues(records));
  _exit(0);
}

} // namespace

int BindLogSocket(int type) {
  const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  Check(fd >= 0, "socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, kDevLog, sizeof kDevLog);
  Check(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0, "bind");
  Check(chmod(kDevLog, 0666) == 0, "chmod /dev/log");
  if (type == SOCK_STREAM)
    Check(listen(fd, 64) == 0, "listen");
  return fd;
}

std::optional<LogRecord> ParseLogRecord(std::string_view datagram) {
  while (!datagram.empty() && (datagram.back() == '\0' || datagram.back() == '\n'))
    datagram.remove_suffix(1);
  std::string_view rest = datagram;
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  // Takes the digits at the front of rest; nullopt when there are none.
  const auto number = [&]() -> std::optional<long> {
    std::size_t n = 0;
    while (n < rest.size() && n < 9 && digit(rest[n]))
      ++n;
    if (n == 0)
      return std::nullopt;
    const long value = std::stol(std::string(rest.substr(0, n)));
    rest.remove_prefix(n);
    return value;
  };
  const auto take = [&](std::string_view expected) {
    if (rest.substr(0, expected.size()) != expected)
      return false;
    rest.remove_prefix(expected.size());
    return true;
  };
  LogRecord record;
  const std::optional<long> priority = take("<") ? number() : std::nullopt;
  if (!priority || *priority > 191 || !take(">"))
    return std::nullopt;
  record.facility = static_cast<int>(*priority >> 3);
  record.severity = static_cast<int>(*priority & 7);
  // "Mmm dd hh:mm:ss ": a shape, with a space before a one-digit day.
  const std::string_view shape = "Aaa dd dd:dd:dd ";
  if (rest.size() < shape.size())
    return std::nullopt;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const char c = rest[i], want = shape[i];
    const bool ok = want == 'A'   ? c >= 'A' && c <= 'Z'
                    : want == 'a' ? c >= 'a' && c <= 'z'
                    : want == 'd' ? digit(c) || (i == 4 && c == ' ')
                                  : c == want;
    if (!ok)
      return std::nullopt;
  }
  rest.remove_prefix(shape.size());
  const std::size_t bracket = rest.find('[');
  if (bracket == 0 || bracket == std::string_view::npos ||
      rest.substr(0, bracket).find_first_of(" \t]:") != std::string_view::npos)
    return std::nullopt;
  record.ident = std::string(rest.substr(0, bracket));
  rest.remove_prefix(bracket + 1);
  const std::optional<long> pid = number();
  if (!pid || !take("]: "))
    return std::nullopt;
  record.pid = static_cast<pid_t>(*pid);
  record.text = std::string(rest);
  return record;
}

LogCapture CaptureSystemLog(LogSocket socket, const std::function<std::string()>& body) {
  // Made here, so that only this process ever removes them; in the child the new /dev is moved
  // away from below it before anything can write there.
  ScratchDir scratch("orvanta-syslog");
  const std::string staging = scratch / "dev", file = scratch / "records";
  MakeDirs(staging);

  ChildOptions options;
  options.namespaces = CLONE_NEWNS | CLONE_NEWNET;
  options.body = [&] {
    LengthenDatagramQueue();
    ReplaceDev(staging);
    const bool stream = socket == LogSocket::kStream;
    int fd = -1;
    if (socket != LogSocket::kAbsent)
      fd = BindLogSocket(stream ? SOCK_STREAM : SOCK_DGRAM);
    if (socket == LogSocket::kDead)
      close(fd);
    int stop[2] = {-1, -1};
    pid_t reader = -1;
    if (socket == LogSocket::kReading || stream) {
      Check(pipe2(stop, O_CLOEXEC) == 0, "pipe");
      reader = fork();
      Check(reader >= 0, "fork");
      if (reader == 0) {
        close(stop[1]);
        ReadUntilStopped(fd, stream, stop[0], file);
      }
      close(stop[0]);
      close(fd);
    }
    const std::string value = body();
    if (reader > 0) {
      close(stop[1]);
      while (waitpid(reader, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    return PackValues({value, ReadFile(file)});
  };
  const ChildRun child = RunChild(options);

  LogCapture capture;
  capture.refusal = child.refusal;
  capture.error = child.error;
  if (!capture.refusal.empty() || !capture.error.empty())
    return capture;
  if (!child.returned || child.status != 0) {
    capture.error = "the child died before reporting (status " + std::to_string(child.status) + ")";
    return capture;
  }
  const std::vector<std::string> values = UnpackValues(child.value);
  capture.value = values.at(0);
  capture.raw = UnpackValues(values.at(1));
  for (const std::string& raw : capture.raw) {
    if (const std::optional<LogRecord> record = ParseLogRecord(raw))
      capture.records.push_back(*record);
    else
      capture.strange.push_back(raw);
  }
  return capture;
}

std::vector<std::string> LoggedRun::Lines(const std::string& ident) const {
  std::vector<std::string> lines;
  for (const LogRecord& record : records)
    if (record.ident == ident && record.pid == program.pid)
      lines.push_back(record.text);
  return lines;
}

std::vector<LogRecord> LoggedRun::Others(const std::string& ident) const {
  std::vector<LogRecord> others;
  for (const LogRecord& record : records)
    if (record.ident != ident || record.pid != program.pid)
      others.push_back(record);
  return others;
}

std::vector<std::string> WithoutDuration(std::vector<std::string> lines) {
  for (std::string& line : lines) {
    const std::size_t at = line.rfind("; ");
    const std::string tail = at == std::string::npos ? "" : line.substr(at + 2);
    const std::size_t dot = tail.find('.');
    if (dot != std::string::npos && dot > 0 && tail.size() == dot + 5 &&
        tail.compare(dot + 3, 2, " s") == 0 && tail.find_first_not_of("0123456789") == dot &&
        tail.find_first_not_of("0123456789", dot + 1) == dot + 3)
      line = line.substr(0, at) + "; N s";
  }
  return lines;
}

void ExpectLogged(const LoggedRun& run, const std::string& ident,
                  const std::vector<std::string>& lines, const std::vector<int>& severities) {
  EXPECT_EQ(WithoutDuration(run.Lines(ident)), lines);
  EXPECT_TRUE(run.Others(ident).empty());
  EXPECT_TRUE(run.strange.empty());
  std::vector<int> seen;
  for (const LogRecord& record : run.records) {
    seen.push_back(record.severity);
    EXPECT_EQ(record.facility, LOG_USER >> 3);
  }
  EXPECT_EQ(seen, severities);
}

LoggedRun RunProgramLogged(const std::string& program, const ProgramOptions& options,
                           LogSocket socket) {
  const LogCapture capture = CaptureSystemLog(socket, [&] {
    const ProgramResult result = RunProgram(program, options);
    return PackValues({std::to_string(result.status), result.out, result.err, result.refusal,
                       std::to_string(result.pid)});
  });
  LoggedRun run;
  run.refusal = capture.refusal;
  run.error = capture.error;
  run.records = capture.records;
  run.strange = capture.strange;
  if (!run.refusal.empty() || !run.error.empty())
    return run;
  const std::vector<std::string> values = UnpackValues(capture.value);
  run.program.status = std::stoi(values.at(0));
  run.program.out = values.at(1);
  run.program.err = values.at(2);
  run.program.refusal = values.at(3);
  run.program.pid = static_cast<pid_t>(std::stol(values.at(4)));
  run.refusal = run.program.refusal;
  return run;
}

} // namespace orvanta::test
