// Uses the installed headers and library the way an ordinary C++ user would.
#include <orvanta/OrvantaFile.h>
#include <orvanta/Utils.h>

#include <cstdio>

static_assert(__cplusplus >= 201703L, "Orvanta::Utils brings C++17 to its consumers");

// Functions that let filesystem_error through can be caught with Utils.h alone.
static bool CatchesFilesystemError() {
  try {
    throw boost::filesystem::filesystem_error("probe", boost::system::error_code());
  } catch (const boost::filesystem::filesystem_error&) {
    return true;
  }
}

int main() {
  const std::string joined =
      AppendPathToString(std::string("/Applications/ORVANTA-EX/"), std::string("orvantaes.app"));
  COrvantaFile file;
  if (joined != "/Applications/ORVANTA-EX/orvantaes.app" || file.IsOpen() ||
      !CatchesFilesystemError())
    return 1;
  std::puts(joined.c_str());
  return 0;
}
