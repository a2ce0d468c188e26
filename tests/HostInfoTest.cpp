// The processor's name is read with a known processor table mounted over the system's, inside a
// mount namespace of the test's own; the host's table is left alone.
#include "Utils.h"

#include "NetNamespace.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using orvanta::test::RunInNamespaces;
using orvanta::test::ScratchDir;

// GetCpuModel's result and what it wrote on standard error, with this processor table in place.
orvanta::test::NamespaceRun CpuModelWithTable(const std::string& table) {
  ScratchDir scratch("orvanta-cpuinfo");
  const std::string tablePath = scratch / "cpuinfo", errPath = scratch / "stderr";
  orvanta::test::WriteFile(tablePath, table);
  return RunInNamespaces(CLONE_NEWNS, {"mount --bind " + tablePath + " /proc/cpuinfo"}, [&] {
    std::fflush(stderr);
    const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(errFd, STDERR_FILENO);
    close(errFd);
    std::vector<std::string> values{GetCpuModel()};
    std::fflush(stderr);
    values.push_back(orvanta::test::ReadFile(errPath));
    return values;
  });
}

TEST(GetCpuModel, NameOfTheFirstProcessor) {
  const auto run = CpuModelWithTable("processor\t: 0\n"
                                     "vendor_id\t: GenuineTest\n"
                                     "model name\t: Orvanta Test CPU @ 2.00GHz\n"
                                     "flags\t\t: fpu\n"
                                     "\n"
                                     "processor\t: 1\n"
                                     "model name\t: Another CPU\n");
  ORVANTA_EXPECT_NAMESPACE_RUN(run);
  EXPECT_EQ(run.values, (std::vector<std::string>{"Orvanta Test CPU @ 2.00GHz", ""}));
}

// Kernels of some processors (many ARM ones) print no model name: an empty name, reported once.
TEST(GetCpuModel, NoModelNameIsReportedOnStandardError) {
  const auto run = CpuModelWithTable("processor\t: 0\n"
                                     "BogoMIPS\t: 50.00\n"
                                     "CPU part\t: 0xd0c\n"
                                     "model\t\t: 1\n");
  ORVANTA_EXPECT_NAMESPACE_RUN(run);
  EXPECT_EQ(run.values, (std::vector<std::string>{"", "sysctl: No such file or directory\n"}));
}

TEST(HostAnswers, FixedAnswers) {
  EXPECT_EQ(GetFreeMemory(), 0);
  for (const int port : {0, 80, -1})
    EXPECT_EQ(GetUserNameFromPort(port), L"");
}

} // namespace
