// The type database on private shared-mime-info databases that hold exactly the conflicts under
// test, each answer compared with GIO's own guess on the same database. GIO and the library read
// their database once per process, so every lookup runs in a child process whose XDG_DATA_HOME
// names the private database and whose XDG_DATA_DIRS names nothing else; this test process never
// touches GIO itself.
#include "Utils.h"

#include "TestSupport.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using orvanta::test::ScratchDir;
using orvanta::test::WriteFile;

struct Pattern {
  const char* type;
  const char* glob;
  int weight;
  bool caseSensitive;
};

// Each extension holds one kind of conflict.
const Pattern kConflicts[] = {
    // A case-sensitive pattern lighter than a folded one of the same letters: the heavier wins.
    {"application/x-cs-light", "*.Foo", 50, true},
    {"application/x-folded-heavy", "*.foo", 80, false},
    // Heavier and case-sensitive: it wins for its own letters only.
    {"application/x-cs-heavy", "*.Qux", 80, true},
    {"application/x-folded-light", "*.qux", 60, false},
    // Equal weights, one case-sensitive: a tie.
    {"application/x-cs-tie", "*.Bar", 50, true},
    {"application/x-folded-tie", "*.bar", 50, false},
    // Equal weights, both folded: a tie.
    {"application/x-first", "*.baz", 50, false},
    {"application/x-second", "*.baz", 50, false},
    // Both plain spellings case-sensitive and heavier; the mixed ones meet only the folded tie.
    // GIO departs from the weights here: it lets case-sensitive patterns join only when fewer
    // than two folded ones match, so it answers "x.ab" and "x.AB" with a folded type.
    {"application/x-lower", "*.ab", 90, true},
    {"application/x-upper", "*.AB", 90, true},
    {"application/x-ab-one", "*.ab", 50, false},
    {"application/x-ab-two", "*.ab", 50, false},
    // A bracket pattern beside a literal one of equal weight: a tie for "7" only.
    {"application/x-digit", "*.[0-9]", 50, false},
    {"application/x-seven", "*.7", 50, false},
};

const char* const kNames[] = {"x.Foo",  "report.foo", "x.FOO", "x.Qux", "x.qux", "x.QUX",
                              "x.Bar",  "x.bar",      "x.BAR", "x.bAr", "x.baz", "x.BAZ",
                              "x.7",    "x.3",        "x.ab",  "x.AB",  "x.Ab",  "a.txt",
                              "x.none", "a/.bar",     "x.Bar/"};

// The database as update-mime-database writes globs2: heaviest first, a case-sensitive pattern
// repeated without its flag for older readers. No mime.cache: GIO reads globs2 itself.
std::string Globs2(const std::vector<Pattern>& patterns) {
  std::string text = "# globs2 written by the test\n";
  for (const Pattern& p : patterns) {
    const std::string line = std::to_string(p.weight) + ":" + p.type + ":" + p.glob;
    text += p.caseSensitive ? line + ":cs\n" + line + "\n" : line + "\n";
  }
  return text;
}

// The same patterns as a package description, for update-mime-database.
std::string Package(const std::vector<Pattern>& patterns) {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<mime-info "
                     "xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n";
  for (const Pattern& p : patterns)
    text += std::string("<mime-type type=\"") + p.type + "\"><glob pattern=\"" + p.glob +
            "\" weight=\"" + std::to_string(p.weight) + "\"" +
            (p.caseSensitive ? " case-sensitive=\"true\"" : "") + "/></mime-type>\n";
  return text + "</mime-info>\n";
}

struct Answer {
  std::string ours, gio;
};

// GetMimeType and GIO's guess for each name, in a child that sees only the database at dataHome.
std::map<std::string, Answer> AskBoth(const std::string& dataHome, const std::string& nothing) {
  orvanta::test::ChildOptions options;
  options.prepare = [&] {
    setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    setenv("XDG_DATA_DIRS", nothing.c_str(), 1);
  };
  options.body = [] {
    std::string report;
    for (const char* name : kNames) {
      gboolean uncertain = FALSE;
      gchar* type = g_content_type_guess(name, nullptr, 0, &uncertain);
      report += std::string(name) + "\t" + GetMimeType(std::string(name)) + "\t" + type + "\n";
      g_free(type);
    }
    return report;
  };
  const orvanta::test::ChildRun run = orvanta::test::RunChild(options);
  EXPECT_TRUE(run.returned) << run.error;
  std::map<std::string, Answer> answers;
  std::istringstream lines(run.value);
  for (std::string name, ours, gio; std::getline(lines, name, '\t') &&
                                    std::getline(lines, ours, '\t') && std::getline(lines, gio);)
    answers[name] = {ours, gio};
  return answers;
}

class TypeDatabase : public ::testing::TestWithParam<bool> {};

// The heavier pattern wins whether or not it is case-sensitive; equal top weights go to GIO's
// choice. GIO reads globs2 itself when there is no mime.cache, and the cache when
// update-mime-database made one: the answers agree with it either way.
TEST_P(TypeDatabase, CaseSensitiveAndFoldedPatternsCompeteByWeightAsGioSays) {
  const bool withCache = GetParam();
  const ScratchDir dir("orvanta-mime");
  const std::vector<Pattern> patterns(std::begin(kConflicts), std::end(kConflicts));
  orvanta::test::MakeDirs(dir / "data/mime/packages");
  orvanta::test::MakeDirs(dir / "nothing");
  if (withCache) {
    WriteFile(dir / "data/mime/packages/conflicts.xml", Package(patterns));
    const std::string command = "update-mime-database " + (dir / "data/mime") + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  } else {
    WriteFile(dir / "data/mime/globs2", Globs2(patterns));
  }

  const std::map<std::string, Answer> answers = AskBoth(dir / "data", dir / "nothing");
  ASSERT_EQ(answers.size(), std::size(kNames));
  const char* const unknown = "application/octet-stream";
  const std::map<std::string, std::string> expected = {
      {"x.Foo", "application/x-folded-heavy"}, // the case-sensitive match is lighter
      {"report.foo", "application/x-folded-heavy"},
      {"x.FOO", "application/x-folded-heavy"},
      {"x.Qux", "application/x-cs-heavy"},
      {"x.qux", "application/x-folded-light"},
      {"x.QUX", "application/x-folded-light"},
      {"x.bar", "application/x-folded-tie"}, // the case-sensitive "Bar" does not match
      {"x.BAR", "application/x-folded-tie"},
      {"x.bAr", "application/x-folded-tie"},
      {"x.3", "application/x-digit"},
      {"x.ab", "application/x-lower"},
      {"x.AB", "application/x-upper"},
      {"a.txt", unknown},
      {"x.none", unknown},
      {"a/.bar", unknown},
      {"x.Bar/", unknown},
  };
  const std::map<std::string, std::vector<std::string>> ties = {
      {"x.Bar", {"application/x-cs-tie", "application/x-folded-tie"}},
      {"x.baz", {"application/x-first", "application/x-second"}},
      {"x.BAZ", {"application/x-first", "application/x-second"}},
      {"x.7", {"application/x-digit", "application/x-seven"}},
      {"x.Ab", {"application/x-ab-one", "application/x-ab-two"}},
  };
  for (const auto& [name, answer] : answers) {
    if (const auto known = expected.find(name); known != expected.end()) {
      EXPECT_EQ(answer.ours, known->second) << name;
      // GIO names a type for every name; "unknown" is ours alone.
      if (known->second != unknown && name != "x.ab" && name != "x.AB") {
        EXPECT_EQ(answer.gio, known->second) << name;
      }
    } else {
      const std::vector<std::string>& tied = ties.at(name);
      EXPECT_NE(std::find(tied.begin(), tied.end(), answer.ours), tied.end()) << name;
      EXPECT_EQ(answer.ours, answer.gio) << name << ": GIO settles the tie";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(, TypeDatabase, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "MimeCache" : "Globs2Only";
                         });

} // namespace
