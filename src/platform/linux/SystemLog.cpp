// The system log: records in syslog(3)'s format ("<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT") sent to
// /dev/log, where the journal or a syslog daemon reads them. glibc's syslog() itself is not used:
// it waits for as long as the reader is not reading (a full datagram queue blocks its send), so a
// hung journal would hang the run, and with no socket at all it tries to connect again on every
// call. Here the socket is non-blocking, a full queue drops the record, and a missing socket is
// tried again at most once a second.
#include "platform/Platform.h"

#include "Interrupt.h"
#include "ScopedHandles.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace orvanta::platform {
namespace {

constexpr const char kLogSocket[] = "/dev/log";
// Longer records are cut: syslog daemons commonly keep 8 KiB of a record.
constexpr std::size_t kMaxRecord = 8192;
// How long a failed connection attempt stands before the next record tries again.
constexpr double kRetrySeconds = 1.0;

double MonotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int Severity(EventLevel level) {
  switch (level) {
  case EventLevel::kError:
    return LOG_ERR;
  case EventLevel::kWarning:
    return LOG_WARNING;
  case EventLevel::kNotice:
    return LOG_NOTICE;
  case EventLevel::kInfo:
    break;
  }
  return LOG_INFO;
}

// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: " in local time with English month names, whatever the
// locale.
std::string Header(EventLevel level, const std::string& ident) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char header[64];
  std::snprintf(header, sizeof header, "<%d>%s %2d %02d:%02d:%02d ", LOG_USER | Severity(level),
                kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec);
  return header + ident + "[" + std::to_string(getpid()) + "]: ";
}

// How many bytes of text fit in room without cutting a UTF-8 sequence.
std::size_t FittingLength(std::string_view text, std::size_t room) {
  if (text.size() <= room)
    return text.size();
  std::size_t length = room;
  while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
    --length;
  return length;
}

class SystemLog {
public:
  void Open(const std::string& ident) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ident_ = ident;
  }

  void Record(EventLevel level, std::string_view text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!socket_ && !Connect())
      return;
    std::string record = Header(level, ident_);
    const std::size_t room = record.size() < kMaxRecord ? kMaxRecord - record.size() : 0;
    record.append(text.substr(0, FittingLength(text, room)));
    // A stream socket separates records by a NUL byte, as syslog(3) sends them.
    if (type_ == SOCK_STREAM)
      record.push_back('\0');
    if (Send(record) || errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
      return; // sent, or dropped because the reader is behind: never wait for it
    // The reader went away (a restarted daemon leaves a new socket at the same name): one more try.
    socket_.reset();
    if (Connect())
      Send(record);
  }

private:
  // Connects to the log socket, datagram first as syslog(3) does; false (and no new attempt for
  // a while) when there is none.
  bool Connect() {
    const double now = MonotonicSeconds();
    if (now < retryAt_)
      return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, kLogSocket, sizeof kLogSocket);
    for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
      sys::UniqueFd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      if (!fd)
        break;
      if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        socket_ = std::move(fd);
        type_ = type;
        retryAt_ = 0;
        return true;
      }
      if (errno != EPROTOTYPE)
        break;
    }
    retryAt_ = now + kRetrySeconds;
    return false;
  }

  // True when the whole record went out; otherwise errno says why. A stream that took part of a
  // record is closed, so that the next record starts a fresh one.
  bool Send(const std::string& record) {
    const ssize_t sent = sys::RetryOnInterrupt([&] {
      return ::send(socket_.get(), record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    });
    if (sent == static_cast<ssize_t>(record.size()))
      return true;
    if (sent >= 0) {
      socket_.reset();
      errno = EAGAIN;
    }
    return false;
  }

  std::mutex mutex_;
  std::string ident_ = program_invocation_short_name;
  sys::UniqueFd socket_;
  int type_ = SOCK_DGRAM;
  double retryAt_ = 0;
};

SystemLog& TheLog() {
  static SystemLog log;
  return log;
}

} // namespace

void OpenEventLog(const std::string& ident) {
  TheLog().Open(ident);
}

void RecordEvent(EventLevel level, std::string_view text) {
  TheLog().Record(level, text);
}

} // namespace orvanta::platform
