// The pieces of a run's log lines: arguments quoted so that every byte shows and a shell reads
// them back unchanged, and a command's wait status in words.
#include "RunLog.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace orvanta::test {
namespace {

using agent::QuoteForLog;

TEST(RunLog, QuoteForLog) {
  const struct {
    std::string text, quoted;
  } cases[] = {
      {"plain", "'plain'"},
      {"", "''"},
      {"it's", "'it'\\''s'"},
      {"a b;$(x)`y`\\", "'a b;$(x)`y`\\'"},
      {"é 日本 😀", "'é 日本 😀'"},
      {"a\nb", "$'a\\nb'"},
      {"tab\there\r", "$'tab\\there\\r'"},
      {"it's\\\n", "$'it\\'s\\\\\\n'"},
      {"é\n", "$'é\\n'"},
      {std::string("nul\0x", 5), "$'nul\\x00x'"},
      {"\x01\x7f", "$'\\x01\\x7F'"},
      {"bad\xff", "$'bad\\xFF'"},
      {"\xc2\x85", "$'\\xC2\\x85'"},                   // C1 control NEL
      {"\xed\xa0\x80", "$'\\xED\\xA0\\x80'"},          // a surrogate
      {"\xc0\xaf", "$'\\xC0\\xAF'"},                   // an overlong "/"
      {"\xf4\x90\x80\x80", "$'\\xF4\\x90\\x80\\x80'"}, // beyond U+10FFFF
      {"cut \xe6\x97", "$'cut \\xE6\\x97'"},
  };
  ScratchDir scratch;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quoted);
    EXPECT_EQ(QuoteForLog(c.text), c.quoted);
    // bash reads the word back as the very bytes (but for a NUL, which no argument can hold).
    if (c.text.find('\0') != std::string::npos)
      continue;
    const std::string out = scratch / "out";
    const std::string command = "printf %s " + QuoteForLog(c.text) + " > " + out;
    ASSERT_EQ(std::system(("bash -c " + agent::QuoteForLog(command)).c_str()), 0);
    EXPECT_EQ(ReadFile(out), c.text);
  }
}

TEST(RunLog, DescribeWaitStatus) {
  EXPECT_EQ(agent::DescribeWaitStatus(std::system("exit 0")), "exit status 0");
  EXPECT_EQ(agent::DescribeWaitStatus(std::system("exit 3")), "exit status 3");
  EXPECT_EQ(agent::DescribeWaitStatus(std::system("kill -9 $$")), "killed by signal 9");
  EXPECT_EQ(agent::DescribeWaitStatus(-1), "could not be run");
}

} // namespace
} // namespace orvanta::test
