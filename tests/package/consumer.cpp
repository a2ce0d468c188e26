// Uses the installed headers and library the way an ordinary C++ user would.
#include <orvanta/OrvantaFile.h>
#include <orvanta/Utils.h>

#include <cstdio>

int main() {
  const std::string joined =
      AppendPathToString(std::string("/Applications/ORVANTA-EX/"), std::string("orvantaes.app"));
  COrvantaFile file;
  if (joined != "/Applications/ORVANTA-EX/orvantaes.app" || file.IsOpen())
    return 1;
  std::puts(joined.c_str());
  return 0;
}
