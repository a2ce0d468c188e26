// Retrying a system call that a signal interrupted before it did any work.
#ifndef ORVANTA_INTERNAL_INTERRUPT_H
#define ORVANTA_INTERNAL_INTERRUPT_H

#include <cerrno>

namespace orvanta::sys {

// Calls call() until it returns something other than -1 with errno EINTR, and returns that. Never
// wrap close(): the descriptor is gone even when close reports EINTR, and a second close could
// hit a descriptor that another thread has opened meanwhile.
template <class Call> auto RetryOnInterrupt(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

} // namespace orvanta::sys

#endif // ORVANTA_INTERNAL_INTERRUPT_H
