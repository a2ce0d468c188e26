#include "Utils.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <string>

// A fresh generator per call keeps these free of shared state. random_generator_pure takes its
// bytes from the system's entropy source and marks them as a version 4, RFC 4122 UUID; its
// entropy_error is deliberately left to reach the caller.

namespace {

// The textual form that boost::uuids::to_string writes (32 lower-case hex digits in groups of
// 8-4-4-4-12), made in place instead of one appended character at a time.
template <class Char> std::basic_string<Char> UuidText(const boost::uuids::uuid& id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::basic_string<Char> text(36, Char('-'));
  Char* out = text.data();
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10)
      ++out; // over a dash
    *out++ = static_cast<Char>(kDigits[id.data[i] >> 4]);
    *out++ = static_cast<Char>(kDigits[id.data[i] & 0x0F]);
  }
  return text;
}

} // namespace

std::string CreateUUIDString() {
  boost::uuids::random_generator_pure generator;
  return UuidText<char>(generator());
}

std::wstring CreateUUIDWideString() {
  boost::uuids::random_generator_pure generator;
  return UuidText<wchar_t>(generator());
}
