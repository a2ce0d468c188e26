#include "Utils.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

// A fresh generator per call keeps these free of shared state. random_generator_pure takes its
// bytes from the system's entropy source and marks them as a version 4, RFC 4122 UUID; its
// entropy_error is deliberately left to reach the caller.

std::string CreateUUIDString() {
  boost::uuids::random_generator_pure generator;
  return boost::uuids::to_string(generator());
}

std::wstring CreateUUIDWideString() {
  boost::uuids::random_generator_pure generator;
  return boost::uuids::to_wstring(generator());
}
