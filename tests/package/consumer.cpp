// Uses the installed headers and library the way an ordinary C++ user would.
#include <orvanta/OrvantaFile.h>
#include <orvanta/Utils.h>

#include <cstdio>
#include <cstring>

static_assert(__cplusplus >= 201703L, "Orvanta::Utils brings C++17 to its consumers");

// An exception that the library lets through crosses the library's boundary and is caught by its
// type here, although the library hides everything but its interface: a name too long for the
// file system makes GetFileCount's status call fail.
static bool CatchesFilesystemError() {
  int count = 0;
  try {
    GetFileCount(std::wstring(300, L'a'), count);
  } catch (const boost::filesystem::filesystem_error&) {
    return true;
  }
  return false;
}

// The Core Foundation stand-ins that Utils.h needs are there to make its arguments.
static bool ReadsCoreFoundationStrings() {
  CFStringRef text =
      CFStringCreateWithCString(kCFAllocatorDefault, "Orvanta", kCFStringEncodingUTF8);
  const bool made = text != nullptr && CFStringRefToUTF8(text) == "Orvanta";
  if (text != nullptr)
    CFRelease(text);
  return made && CFStringRefToUTF8(CFSTR("constant")) == "constant";
}

int main() {
#ifdef ORVANTA_EXPECTED_VERSION
  // The headers are those of the package that was found.
  if (std::strcmp(ORVANTA_UTILS_VERSION_STRING, ORVANTA_EXPECTED_VERSION) != 0) {
    std::fprintf(stderr, "headers %s, package %s\n", ORVANTA_UTILS_VERSION_STRING,
                 ORVANTA_EXPECTED_VERSION);
    return 1;
  }
#endif
  const std::string joined =
      AppendPathToString(std::string("/Applications/ORVANTA-EX/"), std::string("orvantaes.app"));
  COrvantaFile file;
  if (joined != "/Applications/ORVANTA-EX/orvantaes.app" || file.IsOpen() ||
      !CatchesFilesystemError() || !ReadsCoreFoundationStrings())
    return 1;
  std::puts(joined.c_str());
  return 0;
}
