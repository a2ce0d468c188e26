// A system log service of the benchmark's own making, so that a case can measure with no log
// socket at all, with one that reads, or with one that has stopped reading, without touching the
// host: the process moves into private mount and network namespaces where /dev is a tmpfs that
// links back to each of the host's entries but "log", and /dev/log is whatever the case makes.
#ifndef ORVANTA_BENCH_LOGSERVICE_H
#define ORVANTA_BENCH_LOGSERVICE_H

#include <sys/types.h>

#include <string>

namespace orvanta::bench {

// Moves this process (and what it starts from then on) into the private /dev described above.
// Done once; later calls return the first answer. Empty on success, else why the machine refused.
// Benchmarks that need the host's /dev must run before the first call.
std::string EnterPrivateDev();

// What stands at /dev/log.
enum class LogSocket {
  kNone,    // nothing at all
  kReading, // a datagram socket that a child process drains
  kStuck,   // a datagram socket that nobody reads: its queue fills and stays full
};

// /dev/log as asked, for the life of the object; call EnterPrivateDev first.
class LogService {
public:
  explicit LogService(LogSocket socket);
  ~LogService();
  LogService(const LogService&) = delete;
  LogService& operator=(const LogService&) = delete;

  // Whether the socket could be made (always true for kNone).
  bool ready() const { return ready_; }
  // The first record the reading service got; waits for it (empty when the service is gone).
  std::string FirstRecord();
  // Whether a record has arrived: the reading service has its first one, or one lay in the queue
  // of a socket nobody reads (it is taken away).
  bool Received();

private:
  int socket_ = -1;
  bool bound_ = false, ready_ = false;
  pid_t reader_ = -1;
  int firstRecord_ = -1;
};

} // namespace orvanta::bench

#endif // ORVANTA_BENCH_LOGSERVICE_H
