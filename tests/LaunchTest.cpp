// Launching against a private desktop set-up: XDG_DATA_HOME holds a desktop entry whose program
// records its arguments, XDG_CONFIG_HOME's mimeapps.list makes it the default for text/plain. Both
// are in place before GIO is first used, since GIO reads them once per process.
#include "Utils.h"

#include "TestSupport.h"

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using orvanta::test::ReadFile;
using orvanta::test::ScopedEnv;
using orvanta::test::ScratchDir;
using orvanta::test::WriteFile;

class Launch : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    scratch_ = new ScratchDir("orvanta-launch");
    const ScratchDir& dir = *scratch_;
    orvanta::test::MakeDirs(dir / "data/applications");
    orvanta::test::MakeDirs(dir / "config");
    orvanta::test::MakeDirs(dir / "folder");
    WriteFile(
        dir / "record.sh",
        "#!/bin/sh\n"
        "for item in \"$@\"; do printf '%s\\n' \"$item\"; done > \"$ORVANTA_LAUNCH_RECORD.part\"\n"
        "mv \"$ORVANTA_LAUNCH_RECORD.part\" \"$ORVANTA_LAUNCH_RECORD\"\n",
        0755);
    entry_ = dir / "data/applications/orvanta-recorder.desktop";
    WriteFile(entry_, "[Desktop Entry]\n"
                      "Type=Application\n"
                      "Name=Orvanta Recorder\n"
                      "Exec=" +
                          (dir / "record.sh") +
                          " %U\n"
                          "MimeType=text/plain;\n"
                          // Hand the URIs over as they are, not as paths.
                          "X-GIO-NoFuse=true\n");
    WriteFile(dir / "config/mimeapps.list",
              "[Default Applications]\ntext/plain=orvanta-recorder.desktop\n");
    WriteFile(dir / "link.desktop",
              "[Desktop Entry]\nType=Link\nName=Web\nURL=https://example.com/\n");
    WriteFile(dir / "notes.txt", "text\n");
    dataHome_ = new ScopedEnv("XDG_DATA_HOME", dir / "data");
    configHome_ = new ScopedEnv("XDG_CONFIG_HOME", dir / "config");
  }
  static void TearDownTestSuite() {
    delete configHome_;
    delete dataHome_;
    delete scratch_;
  }

  static std::string Path(const std::string& name) { return *scratch_ / name; }

  // Runs launch with the recorder's output going to a fresh file and returns the items the
  // recorder received, one per element; nullopt when the launch was refused. The launch does not
  // wait for the recorder, so this waits for its record to appear.
  template <typename F> static std::optional<std::vector<std::string>> Recorded(F launch) {
    const std::string record = Path("record-" + std::to_string(++launches_));
    const ScopedEnv recordEnv("ORVANTA_LAUNCH_RECORD", record);
    if (!launch())
      return std::nullopt;
    for (int i = 0; i < 3000 && access(record.c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<std::string> items;
    std::istringstream lines(ReadFile(record));
    for (std::string line; std::getline(lines, line);)
      items.push_back(line);
    return items;
  }

  static inline ScratchDir* scratch_ = nullptr;
  static inline ScopedEnv* dataHome_ = nullptr;
  static inline ScopedEnv* configHome_ = nullptr;
  static inline std::string entry_;
  static inline int launches_ = 0;
};

// The extension alone picks the application: its last dot decides, a leading dot starts it, and
// a name without a dot has none (README is text by its whole name, yet finds nothing).
TEST_F(Launch, CommandFromTheExtension) {
  const struct {
    std::wstring path;
    std::string file; // the command's second element; empty when no command is expected
  } cases[] = {
      {L"/docs/notes.txt", "/docs/notes.txt"},
      {L"/docs/report.final.txt", "/docs/report.final.txt"},
      {L"/docs/.txt", "/docs/.txt"},
      {L"/docs/\u00e9t\u00e9.txt", "/docs/\xC3\xA9t\xC3\xA9.txt"},
      {L"relative.txt", "relative.txt"},
      {L"/docs/notes.txt.zzqx", ""},
      {L"/docs/notes.zzqx", ""},
      {L"/docs/README", ""},
      {L"/docs.txt/README", ""},
      {std::wstring(L"/docs/notes.zzqx\0.txt", 21), ""},
      {L"", ""},
  };
  for (const auto& c : cases) {
    const std::vector<std::string> expected =
        c.file.empty() ? std::vector<std::string>{} : std::vector<std::string>{entry_, c.file};
    EXPECT_EQ(GetExecuteCommand(c.path), expected) << std::string(c.path.begin(), c.path.end());
  }
}

// Nothing is launched without an application entry as the first element.
TEST_F(Launch, RefusesWhatIsNoApplication) {
  const std::vector<std::vector<std::string>> commands = {
      {},
      {""},
      {Path("notes.txt")},
      {Path("folder")},
      {Path("missing.desktop"), Path("notes.txt")},
      {Path("link.desktop")},
  };
  for (const auto& command : commands)
    EXPECT_FALSE(LaunchApplication(command)) << (command.empty() ? "(empty)" : command[0]);
  EXPECT_FALSE(IsOpenAnotherProcess(L""));
  EXPECT_FALSE(IsOpenAnotherProcess(L"/docs/notes.txt"));
}

// Files and folders go as file URIs, other texts as the URIs they spell; texts that are neither
// are left out.
TEST_F(Launch, ItemsReachTheApplication) {
  const std::string file = Path("notes.txt"), folder = Path("folder");
  const struct {
    std::vector<std::string> items;
    std::vector<std::string> received;
  } cases[] = {
      {{file, folder, "https://example.com/a?b=c"},
       {"file://" + file, "file://" + folder + "/", "https://example.com/a?b=c"}},
      {{}, {}},
      {{Path("missing.txt"), "not a uri", ""}, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> command{entry_};
    command.insert(command.end(), c.items.begin(), c.items.end());
    EXPECT_EQ(Recorded([&] { return LaunchApplication(command); }), c.received);
  }
}

// An item whose status cannot be read reaches LaunchApplication's caller as filesystem_error;
// ExecuteFile answers false instead.
TEST_F(Launch, UnreadableItemStatus) {
  const std::string loop = Path("loop.txt");
  ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
  EXPECT_THROW(LaunchApplication({entry_, loop}), boost::filesystem::filesystem_error);
  EXPECT_FALSE(ExecuteFile(std::wstring(loop.begin(), loop.end()), false));
}

TEST_F(Launch, ExecuteFileOpensExistingFilesOnly) {
  const std::string file = Path("notes.txt");
  const std::wstring wideFile(file.begin(), file.end());
  for (const bool flag : {false, true}) {
    EXPECT_EQ(Recorded([&] { return ExecuteFile(wideFile, flag); }),
              std::vector<std::string>{"file://" + file});
    EXPECT_FALSE(ExecuteFile(L"/nonexistent/orvanta/notes.txt", flag));
  }
}

} // namespace
