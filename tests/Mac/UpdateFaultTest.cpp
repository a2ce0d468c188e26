// The built update program under faults, one row per fault: a full disk, hostile archives and
// archive arguments, read-only and immutable trees, odd launch states, every held signal at each
// phase. Every row ends with the folder holding exactly the new pair or exactly the previous pair
// (whole trees, so no backup names, staging folder or record are left; the archives only where
// the row says), or, for a run refused before its own work, untouched with no command run; with
// nothing written outside the folder; and with the agent either untouched or unloaded and
// reloaded, the reload last.
// Real unzip does the extracting; a wrapper on PATH around it, and stubs for launchctl and
// killall, log each call and can send a signal at a chosen moment.
#include "SystemServices.h"
#include "TestSupport.h"
#include "Updater.h"
#include "ZipWriter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string_view>

namespace orvanta::test {
namespace {

namespace stdfs = std::filesystem;
using agent::ShellQuote;
using Tree = std::map<std::string, std::string>;

enum class Outcome {
  NewPair,
  PreviousPair,            // the archives removed
  PreviousPairAndArchives, // a swap that was undone keeps them
  Untouched,               // refused before anything ran: no command at all
};

// What the agent went through: by default the new pair cycles it and a previous pair leaves it
// alone (a pair that fails the judgement never stops it).
enum class Agent { ByOutcome, Untouched, Cycled };

// When a stub sends its signal, and to whom.
struct Injection {
  const char* at = ""; // "kill" (first killall), "unzip-start", "unzip-end" (first unzip), "reload"
  std::string signal;  // as kill -SIGNAL takes it: a name or a number
  const char* to = ""; // "process" (update alone), "group" (its process group), "tool" (the stub)
};

class UpdateFault;

struct Fault {
  const char* id;
  // Writes first.zip and second.zip into the folder; may change the installed pair first.
  std::function<void(UpdateFault&)> arrange;
  Outcome outcome;
  int status = 0;
  Injection injection = {};
  bool asNobody = false;
  bool inSmallTmpfs = false;
  std::function<void()> atLaunch = {}; // runs in the child just before exec
  const char* first = "first.zip";     // the archive arguments
  const char* second = "second.zip";
  const char* errorNames = nullptr; // a text that standard error must hold
  Agent agent = Agent::ByOutcome;
  std::optional<std::vector<std::string>> arguments = {}; // replaces FOLDER FIRST SECOND
  bool withTerminal = false; // run with a pseudo-terminal as its controlling terminal
  bool hangTool = false;     // the unzip stub that sends the signal then waits a minute
  // A text the outcome line must hold after "update: " ("$F" stands for the folder); or nullptr.
  const char* says = nullptr;
  bool outputLost = false; // the launch leaves no stream that the outcome line could be read from
};

void PrintTo(const Fault& fault, std::ostream* out) {
  *out << fault.id;
}

// A bundle as applications have it, framework links included (relative, some through others).
std::vector<ZipEntry> Bundle(const std::string& name, const std::string& version,
                             bool readOnly = false) {
  const std::string c = name + "/Contents/", fw = c + "Frameworks/Core.framework/";
  const int folderMode = readOnly ? 0555 : 0, fileMode = readOnly ? 0444 : 0;
  return {ZipFolder(name),
          ZipFolder(c),
          ZipFile(c + "Info.plist", "<plist>" + version + "</plist>", fileMode),
          ZipFolder(c + "MacOS"),
          ZipFile(c + "MacOS/agent", "binary " + version, 0755),
          ZipFolder(fw + "Versions/A/Resources"),
          ZipFile(fw + "Versions/A/Core", "library " + version),
          ZipLink(fw + "Versions/Current", "A"),
          ZipLink(fw + "Core", "Versions/Current/Core"),
          ZipLink(fw + "Resources", "Versions/Current/Resources"),
          ZipFile(c + "Resources/" + version + ".txt", version, fileMode),
          ZipLink(c + "Resources/tools", "../MacOS"),
          ZipFolder(c + "Resources", folderMode)};
}

std::vector<ZipEntry> operator+(std::vector<ZipEntry> a, const std::vector<ZipEntry>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Tree PairOf(const std::string& version) {
  ScratchDir staging("orvanta-expect");
  Materialize(staging.path(), Bundle("orvantaes.app", version) + Bundle("orvantaet.app", version));
  return Snapshot(staging.path());
}

// Adds the entries a relative path brings into a snapshot: each folder on the way, then the leaf.
void AddPath(Tree& tree, const std::string& relative, const std::string& leaf) {
  for (auto slash = relative.find('/'); slash != std::string::npos;
       slash = relative.find('/', slash + 1))
    tree[relative.substr(0, slash)] = "dir";
  tree[relative] = leaf;
}

class UpdateFault : public ::testing::TestWithParam<Fault> {
public:
  void SetUp() override {
    chmod(sandbox.path().c_str(), 0755); // an unprivileged run must reach it
    for (const std::string& dir : {folder, outside, stubs, run})
      MakeDirs(dir);
    chmod(run.c_str(), 0777);
    WriteFile(log, "", 0666);
    WriteStubs();
  }

  void WriteArchives(const std::vector<ZipEntry>& first, const std::vector<ZipEntry>& second) {
    WriteZip(folder + "/first.zip", first);
    WriteZip(folder + "/second.zip", second);
  }
  void NewArchives() {
    WriteArchives(Bundle("orvantaes.app", "v2"), Bundle("orvantaet.app", "v2"));
  }

  ScratchDir sandbox{"orvanta-fault"};
  const std::string folder = sandbox / "apps", outside = sandbox / "outside";
  const std::string stubs = sandbox / "stubs", run = sandbox / "run", log = stubs + "/calls.log";
  Tree extras;                        // what an archive may add to the folder besides the pair
  std::optional<Tree> previousPair;   // the previous pair, when the folder held more than it
  std::vector<std::string> immutable; // made immutable by the row; released after the run
  std::string skipReason;             // set by a row that this machine cannot arrange

protected:
  void WriteStubs() {
    std::string realUnzip;
    for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"})
      if (realUnzip.empty() && access((std::string(dir) + "/unzip").c_str(), X_OK) == 0)
        realUnzip = std::string(dir) + "/unzip";
    ASSERT_FALSE(realUnzip.empty()) << "unzip is not installed";
    const std::string fired = ShellQuote(run + "/fired"), pid = ShellQuote(run + "/update.pid");
    const std::string script =
        "#!/bin/sh\n"
        "tool=${0##*/}\n"
        "printf '%s\\n' \"$tool $*\" >> " +
        ShellQuote(log) +
        "\n"
        "fault() {\n"
        "  [ -n \"$FAULT_AT\" ] && [ \"$FAULT_AT\" = \"$1\" ] && [ ! -e " +
        fired + " ] || return 0\n  : > " + fired +
        "\n"
        "  case \"$FAULT_TO\" in\n"
        "    group) kill -\"$FAULT_SIGNAL\" -\"$(cat " +
        pid +
        ")\" ;;\n"
        "    process) kill -\"$FAULT_SIGNAL\" \"$(cat " +
        pid +
        ")\" ;;\n"
        "    tool) kill -\"$FAULT_SIGNAL\" $$ ;;\n"
        "  esac\n"
        "  # A tool that goes on after the signal: the run must end it.\n"
        "  if [ -n \"$FAULT_HANG\" ]; then sleep 60; echo 'tool outlived' >> " +
        ShellQuote(log) +
        "; fi\n"
        "}\n"
        "case \"$tool\" in\n"
        "  killall) fault kill ;;\n"
        "  launchctl) [ \"$1\" = load ] && fault reload ;;\n"
        "  unzip)\n"
        "    fault unzip-start\n    " +
        ShellQuote(realUnzip) +
        " \"$@\"\n"
        "    status=$?\n"
        "    fault unzip-end\n"
        "    exit $status ;;\n"
        "esac\n"
        "exit 0\n";
    for (const char* tool : {"launchctl", "killall", "unzip"})
      WriteFile(stubs + "/" + tool, script, 0755);
  }
};

// Makes a new pseudo-terminal the controlling terminal of the calling process, which must not
// lead a process group yet; the master side stays open and unread, so a prompt there waits.
void TakeNewTerminal() {
  setsid();
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
    return;
  const char* name = ptsname(master);
  const int terminal = name != nullptr ? open(name, O_RDWR) : -1; // becomes the controlling one
  if (terminal >= 0)
    dup2(terminal, STDIN_FILENO);
}

// The update program, in its own process group, with the stubs first on PATH. With a small
// tmpfs, the folder is copied into a tmpfs mounted over it in a private mount namespace and the
// result copied back out to resultFolder; nullopt when this machine does not permit that.
std::optional<ProgramResult> RunUpdate(UpdateFault& t, const Fault& fault,
                                       const std::string& resultFolder) {
  ProgramOptions options;
  options.env = {{"PATH", t.stubs + ":/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"},
                 {"HOME", t.sandbox / "home"},
                 {"FAULT_AT", fault.injection.at},
                 {"FAULT_SIGNAL", fault.injection.signal},
                 {"FAULT_TO", fault.injection.to},
                 {"FAULT_HANG", fault.hangTool ? "1" : ""}};
  if (fault.asNobody)
    options.runAs = NobodyUid();
  const std::string pidFile = t.run + "/update.pid", cwd = t.sandbox.path();
  options.inChild = [pidFile, cwd, atLaunch = fault.atLaunch, terminal = fault.withTerminal] {
    if (terminal)
      TakeNewTerminal();
    else
      setpgid(0, 0);
    (void)chdir(cwd.c_str());
    const std::string pid = std::to_string(getpid());
    const int fd = open(pidFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      (void)!write(fd, pid.data(), pid.size());
      close(fd);
    }
    if (atLaunch)
      atLaunch();
  };
  const std::vector<std::string> arguments =
      fault.arguments.value_or(std::vector<std::string>{t.folder, fault.first, fault.second});
  if (fault.withTerminal) {
    // A prompt that nothing answers would hold the run for good: a limit turns that into a
    // failing status.
    options.arguments = {"-s", "KILL", "60", ORVANTA_UPDATE_BINARY};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    return RunProgram("/usr/bin/timeout", options);
  }
  if (!fault.inSmallTmpfs) {
    options.arguments = arguments;
    return RunProgram(ORVANTA_UPDATE_BINARY, options);
  }
  if (std::system("unshare -m --propagation private true 2>/dev/null") != 0)
    return std::nullopt;
  constexpr int kNoTmpfs = 200;
  // Room for what the folder holds now and half a megabyte more.
  const std::string script = "stage=$1 folder=$2 result=$3; shift 3\n"
                             "cp -a \"$folder/.\" \"$stage/\" || exit 201\n"
                             "used=$(du -sk \"$stage\" | cut -f1)\n"
                             "mount -t tmpfs -o size=$((used + 512))k,mode=0755 tmpfs "
                             "\"$folder\" || exit 200\n"
                             "cp -a \"$stage/.\" \"$folder/\" || exit 201\n"
                             "\"$@\"; status=$?\n"
                             "cp -a \"$folder/.\" \"$result/\" || exit 201\n"
                             "exit $status\n";
  const std::string stage = t.sandbox / "stage";
  MakeDirs(stage);
  MakeDirs(resultFolder);
  options.arguments = {
      "-m",         "--propagation",      "private", "/bin/sh", "-c", script, "sh", stage, t.folder,
      resultFolder, ORVANTA_UPDATE_BINARY};
  options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
  ProgramResult result = RunProgram("/usr/bin/unshare", options);
  if (result.status == kNoTmpfs)
    return std::nullopt;
  return result;
}

// chattr +i (or -i); false when the file system or the machine refuses it.
bool SetImmutable(const std::string& path, bool on) {
  return std::system(
             ("chattr " + std::string(on ? "+i " : "-i ") + ShellQuote(path) + " 2>/dev/null")
                 .c_str()) == 0;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);)
    lines.push_back(line);
  return lines;
}

std::vector<std::string> LogLines(const std::string& log) {
  return Lines(ReadFile(log));
}

// The run's own lines ("update: ...") in a stream.
std::vector<std::string> OwnLines(const std::string& stream) {
  std::vector<std::string> own;
  for (const std::string& line : Lines(stream))
    if (line.rfind("update: ", 0) == 0)
      own.push_back(line);
  return own;
}

// The run ends with one line of its own: the last of standard output when it installed (and the
// only one of its own there), else the last of standard error, which does not merely repeat the
// failure line above it. A usage error ends with the usage instead. Returns the outcome line.
std::string CheckOutcomeLine(const ProgramResult& result) {
  if (result.status == 2) {
    EXPECT_EQ(result.err.rfind("update: ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.substr(result.err.size() - std::strlen(agent::kUpdateUsage)),
              agent::kUpdateUsage);
    return "";
  }
  const std::string& stream = result.status == 0 ? result.out : result.err;
  const std::vector<std::string> lines = Lines(stream), own = OwnLines(stream);
  EXPECT_EQ(OwnLines(result.status == 0 ? result.err : result.out), std::vector<std::string>{})
      << "a line of update's own on the other stream";
  if (lines.empty() || own.empty() || lines.back() != own.back()) {
    ADD_FAILURE() << "the run's last line is not its own:\n" << stream;
    return "";
  }
  if (result.status == 0) {
    EXPECT_EQ(own.size(), 1u) << stream;
  }
  if (lines.size() >= 2 && lines.end()[-2].rfind("update: ", 0) == 0) {
    EXPECT_EQ(lines.back().find(lines.end()[-2].substr(8)), std::string::npos)
        << "the outcome line repeats the line above it:\n"
        << stream;
  }
  return own.back().substr(8);
}

// Fills in "$F".
std::string WithFolder(std::string text, const std::string& folder) {
  for (std::size_t at; (at = text.find("$F")) != std::string::npos;)
    text.replace(at, 2, folder);
  return text;
}

TEST_P(UpdateFault, EndsWithAWholePair) {
  const Fault& fault = GetParam();
  if (fault.asNobody && geteuid() != 0)
    GTEST_SKIP() << "running as another user needs root";
  Materialize(folder, Bundle("orvantaes.app", "v1") + Bundle("orvantaet.app", "v1"));
  fault.arrange(*this);
  if (!skipReason.empty())
    GTEST_SKIP() << skipReason;
  const Tree before = Snapshot(folder), outsideBefore = Snapshot(outside);
  Tree previous = before;
  previous.erase("first.zip");
  previous.erase("second.zip");
  if (previousPair)
    previous = *previousPair;
  if (fault.asNobody) {
    ASSERT_EQ(std::system(
                  ("chown -hR " + std::to_string(NobodyUid()) + " " + ShellQuote(folder)).c_str()),
              0);
  }

  const std::string resultFolder = fault.inSmallTmpfs ? sandbox / "result" : folder;
  const std::optional<ProgramResult> result = RunUpdate(*this, fault, resultFolder);
  for (const std::string& path : immutable)
    SetImmutable(path, false);
  if (!result)
    GTEST_SKIP() << "this machine does not permit a tmpfs in a private mount namespace";
  ORVANTA_SKIP_IF_REFUSED(*result);

  EXPECT_EQ(result->status, fault.status) << result->err;
  if (!fault.outputLost) {
    const std::string outcome = CheckOutcomeLine(*result);
    if (fault.says != nullptr) {
      EXPECT_NE(outcome.find(WithFolder(fault.says, folder)), std::string::npos) << outcome;
    }
    if (fault.errorNames != nullptr) {
      EXPECT_EQ(outcome.rfind(std::string("installed nothing: refused the archive '") + folder +
                                  "/" + fault.errorNames + "'",
                              0),
                0u)
          << outcome;
    }
  }
  Tree expected = fault.outcome == Outcome::NewPair     ? PairOf("v2")
                  : fault.outcome == Outcome::Untouched ? before
                                                        : previous;
  if (fault.outcome == Outcome::PreviousPairAndArchives)
    for (const char* archive : {"first.zip", "second.zip"})
      expected[archive] = before.at(archive);
  expected.insert(extras.begin(), extras.end());
  EXPECT_EQ(Snapshot(resultFolder), expected) << result->err;
  EXPECT_EQ(Snapshot(outside), outsideBefore);

  const std::vector<std::string> calls = LogLines(log);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "tool outlived"), 0)
      << "the run waited for a tool after a held signal";
  if (fault.outcome == Outcome::Untouched) {
    EXPECT_EQ(calls, std::vector<std::string>{}) << "a refused run ran commands";
    return;
  }
  std::vector<std::string> agentCalls;
  for (const std::string& call : calls)
    if (call.rfind("launchctl ", 0) == 0 || call.rfind("killall ", 0) == 0)
      agentCalls.push_back(call);
  const bool cycled = fault.agent == Agent::ByOutcome ? fault.outcome == Outcome::NewPair
                                                      : fault.agent == Agent::Cycled;
  if (!cycled) {
    EXPECT_EQ(agentCalls, std::vector<std::string>{}) << "the agent was touched";
    return;
  }
  const std::string plist = sandbox / "home/Library/LaunchAgents/com.orvanta.orvantaes.plist";
  ASSERT_FALSE(agentCalls.empty());
  EXPECT_EQ(agentCalls.front(), "launchctl unload " + plist);
  EXPECT_EQ(agentCalls.back(), "launchctl load -w " + plist);
}

const auto kNew = [](UpdateFault& t) { t.NewArchives(); };

// A row whose launch differs: run in the child just before update is executed.
Fault Launched(const char* id, std::function<void()> atLaunch, Injection injection = {},
               Outcome outcome = Outcome::NewPair, int status = 0) {
  Fault fault{id, kNew, outcome, status, injection};
  fault.atLaunch = std::move(atLaunch);
  return fault;
}

// A row whose launch leaves no standard output to read the outcome line from.
Fault OutputLost(Fault fault) {
  fault.outputLost = true;
  return fault;
}

// A row whose outcome line must hold the text (after "update: "; "$F" is the folder).
Fault Says(const char* text, Fault fault) {
  fault.says = text;
  return fault;
}

// A row whose archive arguments are refused: nothing runs, exit status 1.
Fault Refused(const char* id, const char* first, const char* second,
              std::function<void(UpdateFault&)> arrange) {
  Fault fault{id, std::move(arrange), Outcome::Untouched, 1};
  fault.first = first;
  fault.second = second;
  fault.errorNames = std::string_view(first) == "first.zip" ? second : first;
  return fault;
}

// A row with its own command line (relative paths are taken from the sandbox).
Fault Called(const char* id, std::vector<std::string> arguments,
             std::function<void(UpdateFault&)> arrange, Outcome outcome, int status) {
  Fault fault{id, std::move(arrange), outcome, status};
  fault.arguments = std::move(arguments);
  return fault;
}

// A row in which the companion bundle cannot be renamed (chattr +i): the swap cannot complete.
Fault Immovable(const char* id, std::function<void(UpdateFault&)> arrange) {
  return {id,
          [arrange](UpdateFault& t) {
            arrange(t);
            const std::string companion = t.folder + "/orvantaet.app";
            if (!SetImmutable(companion, true))
              t.skipReason = "this file system does not let chattr +i make a folder immutable";
            else
              t.immutable.push_back(companion);
          },
          Outcome::PreviousPairAndArchives,
          3,
          {},
          false,
          false,
          {},
          "first.zip",
          "second.zip",
          nullptr,
          Agent::Cycled};
}

// Many small files, then one too big for the space left: the disk fills part-way through.
std::vector<ZipEntry> WithBigFile(std::vector<ZipEntry> entries) {
  std::string big(2 << 20, '\0');
  uint32_t state = 12345;
  for (char& byte : big) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  entries.insert(entries.begin() + 3, ZipFile("orvantaes.app/Contents/Resources/big.bin", big));
  return entries;
}

// A killed run's folder: its record says Swapping, its staged pair (v1.5) is whole, and it had
// moved the service bundle to its backup when it died.
void KilledBetweenTheBackups(UpdateFault& t) {
  const std::string staging = ".orvanta-update-KilledRun0";
  Materialize(t.folder + "/" + staging,
              Bundle("orvantaes.app", "v1.5") + Bundle("orvantaet.app", "v1.5"));
  stdfs::rename(t.folder + "/orvantaes.app", t.folder + "/orvantaes.app.7");
  WriteFile(t.folder + "/.orvanta-update.record",
            "orvanta-update record 1\nstage swapping\nstaging " + staging +
                "\nsuffix 7\nprevious 11\n");
  t.NewArchives();
  t.previousPair = PairOf("v1");
}

// Every held signal at each phase: before and during the extraction the pair is given up and
// the agent never touched; in the stop phase the pair is given up and the agent reloaded; at the
// reload the new pair is in place. The run ends by the signal each time.
std::vector<Fault> SignalRows() {
  static std::vector<std::string> ids, says; // the rows keep pointers to these
  const struct {
    const char* at;
    Outcome outcome;
    Agent agent;
  } phases[] = {
      {"unzip-start", Outcome::PreviousPair, Agent::Untouched},
      {"kill", Outcome::PreviousPair, Agent::Cycled},
      {"reload", Outcome::NewPair, Agent::Cycled},
  };
  std::vector<Fault> rows;
  const std::vector<int> signals = agent::HoldableSignals();
  ids.reserve(signals.size() * std::size(phases));
  says.reserve(ids.capacity());
  for (const int signal : signals) {
#ifdef SIGRTMIN
    // Of the real-time signals, the first and the last stand for all.
    if (signal > SIGRTMIN && signal < SIGRTMAX)
      continue;
#endif
    for (const auto& phase : phases) {
      ids.push_back("Signal" + std::to_string(signal) + "At_" + phase.at);
      std::replace(ids.back().begin(), ids.back().end(), '-', '_');
      Fault row{ids.back().c_str(),
                kNew,
                phase.outcome,
                128 + signal,
                {phase.at, std::to_string(signal), "process"}};
      row.agent = phase.agent;
      says.push_back("ended by signal " + std::to_string(signal) +
                     (phase.outcome == Outcome::NewPair ? " after installing the new pair in '$F'"
                                                        : "; installed nothing"));
      row.says = says.back().c_str();
      rows.push_back(row);
    }
  }
  return rows;
}

const Fault kFaults[] = {
    Says("installed the new pair in '$F'", {"NoFault", kNew, Outcome::NewPair}),
    // Extraction fails part-way after both bundle folders already exist.
    Says("installed nothing: '$F/first.zip' could not be extracted (unzip: exit status 50)",
         {"DiskFullInLastArchive",
          [](UpdateFault& t) {
            t.WriteArchives(WithBigFile(Bundle("orvantaes.app", "v2")),
                            Bundle("orvantaet.app", "v2"));
          },
          Outcome::PreviousPair,
          3,
          {},
          false,
          true}),
    {"DamagedEntryInLastArchive",
     [](UpdateFault& t) {
       auto first = Bundle("orvantaes.app", "v2");
       first[2].badChecksum = true;
       t.WriteArchives(first, Bundle("orvantaet.app", "v2"));
     },
     Outcome::PreviousPair, 3},
    // A file that is no zip archive is one that could not be extracted, not an absent one.
    Says("installed nothing: '$F/first.zip' could not be extracted (unzip: exit status 9)",
         {"ArchiveIsNoZip",
          [](UpdateFault& t) {
            t.NewArchives();
            WriteFile(t.folder + "/first.zip", "a letter, not an archive");
          },
          Outcome::PreviousPair, 3}),
    // Entries that try to leave the folder.
    {"EntryNamesClimbOut",
     [](UpdateFault& t) {
       t.WriteArchives(Bundle("orvantaes.app", "v2") +
                           std::vector<ZipEntry>{ZipFile("../escaped", "x"),
                                                 ZipFile("orvantaes.app/../../escaped2", "x"),
                                                 ZipFile(t.outside + "/absolute", "x")},
                       Bundle("orvantaet.app", "v2"));
       // unzip strips the "../" components and the leading "/": all of it lands inside.
       t.extras["escaped"] = "file: x";
       t.extras["orvantaes.app/escaped2"] = "file: x";
       AddPath(t.extras, t.outside.substr(1) + "/absolute", "file: x");
     },
     Outcome::NewPair},
    {"LinkOutThenFileThroughItAcrossArchives",
     [](UpdateFault& t) {
       t.WriteArchives(Bundle("orvantaes.app", "v2"),
                       Bundle("orvantaet.app", "v2") +
                           std::vector<ZipEntry>{ZipLink("orvantaes.app", t.outside)});
     },
     Outcome::PreviousPair, 3},
    {"RelativeLinkOutThenFileThroughItAcrossArchives",
     [](UpdateFault& t) {
       t.WriteArchives(
           Bundle("orvantaes.app", "v2") +
               std::vector<ZipEntry>{ZipFile("orvantaet.app/Contents/PlugIns/evil", "x")},
           Bundle("orvantaet.app", "v2") +
               std::vector<ZipEntry>{
                   ZipLink("orvantaet.app/Contents/PlugIns", "../../../outside")});
     },
     Outcome::PreviousPair, 3},
    {"LinkOutAndFileThroughItInOneArchive",
     [](UpdateFault& t) {
       t.WriteArchives(
           Bundle("orvantaes.app", "v2") +
               std::vector<ZipEntry>{ZipLink("orvantaes.app/Contents/PlugIns", t.outside),
                                     ZipFile("orvantaes.app/Contents/PlugIns/evil", "x")},
           Bundle("orvantaet.app", "v2"));
     },
     Outcome::PreviousPair, 3},
    Says("installed nothing: the link '$F/.orvanta-update-",
         {"LinkOutInLastArchive",
          [](UpdateFault& t) {
            t.WriteArchives(
                Bundle("orvantaes.app", "v2") +
                    std::vector<ZipEntry>{ZipLink("orvantaes.app/Contents/Docs", "/etc")},
                Bundle("orvantaet.app", "v2"));
          },
          Outcome::PreviousPair, 3}),
    // Archives without a usable bundle.
    Says("installed nothing: the archives hold no folder 'orvantaes.app'",
         {"BundleIsAFile",
          [](UpdateFault& t) {
            t.WriteArchives({ZipFile("orvantaes.app", "not a folder")},
                            Bundle("orvantaet.app", "v2"));
          },
          Outcome::PreviousPair, 3}),
    {"EmptyArchive", [](UpdateFault& t) { t.WriteArchives({}, Bundle("orvantaet.app", "v2")); },
     Outcome::PreviousPair, 3},
    // An encrypted entry: unzip would ask for its password on the terminal. It has none.
    {"EncryptedEntryUnderATerminal",
     [](UpdateFault& t) {
       t.NewArchives();
       ScratchDir plain("orvanta-plain");
       Materialize(plain.path(), Bundle("orvantaes.app", "v2"));
       ASSERT_EQ(std::system(("cd " + ShellQuote(plain.path()) + " && rm -f " +
                              ShellQuote(t.folder + "/first.zip") + " && zip -qr -P secret " +
                              ShellQuote(t.folder + "/first.zip") + " orvantaes.app")
                                 .c_str()),
                 0);
     },
     Outcome::PreviousPair,
     3,
     {},
     false,
     false,
     {},
     "first.zip",
     "second.zip",
     nullptr,
     Agent::Untouched,
     {},
     true},
    // Read-only files and folders inside the bundles.
    {"ReadOnlyPreviousBundles",
     [](UpdateFault& t) {
       stdfs::remove_all(t.folder);
       Materialize(t.folder,
                   Bundle("orvantaes.app", "v1", true) + Bundle("orvantaet.app", "v1", true));
       t.NewArchives();
     },
     Outcome::NewPair},
    {"ReadOnlyPreviousBundlesAsUser",
     [](UpdateFault& t) {
       stdfs::remove_all(t.folder);
       Materialize(t.folder,
                   Bundle("orvantaes.app", "v1", true) + Bundle("orvantaet.app", "v1", true));
       t.NewArchives();
     },
     Outcome::NewPair,
     0,
     {},
     true},
    {"ReadOnlyNewBundleRolledBackAsUser",
     [](UpdateFault& t) {
       auto first = Bundle("orvantaes.app", "v2");
       first[2].badChecksum = true;
       t.WriteArchives(first, Bundle("orvantaet.app", "v2", true));
     },
     Outcome::PreviousPair,
     3,
     {},
     true},
    // A link that already stands in the folder is never written through.
    {"LinkInFolderLeadsOut",
     [](UpdateFault& t) {
       ASSERT_EQ(symlink(t.outside.c_str(), (t.folder + "/ext").c_str()), 0);
       t.WriteArchives(Bundle("orvantaes.app", "v2") +
                           std::vector<ZipEntry>{ZipFile("ext/evil", "x")},
                       Bundle("orvantaet.app", "v2"));
     },
     Outcome::PreviousPair, 3},
    // An entry of the folder the run cannot read is none of its business.
    {"UnreadableEntryInFolderAsUser",
     [](UpdateFault& t) {
       MakeDirs(t.folder + "/private");
       WriteFile(t.folder + "/private/secret", "s");
       chmod((t.folder + "/private").c_str(), 0);
       t.extras = {{"private", "dir"}, {"private/secret", "file: s"}};
       t.NewArchives();
     },
     Outcome::NewPair,
     0,
     {},
     true},
    // Whatever stands at the draft's name is cleared, never written through or waited on; what
    // cannot be cleared stops the run before anything runs.
    {"FifoAtTheDraftsName",
     [](UpdateFault& t) {
       t.NewArchives();
       ASSERT_EQ(mkfifo((t.folder + "/.orvanta-update.record.new").c_str(), 0600), 0);
     },
     Outcome::NewPair},
    {"EmptyFolderAtTheDraftsName",
     [](UpdateFault& t) {
       t.NewArchives();
       MakeDirs(t.folder + "/.orvanta-update.record.new");
     },
     Outcome::NewPair},
    Says("installed nothing: cannot clear the name '$F/.orvanta-update.record.new'",
         {"FullFolderAtTheDraftsName",
          [](UpdateFault& t) {
            t.NewArchives();
            MakeDirs(t.folder + "/.orvanta-update.record.new");
            WriteFile(t.folder + "/.orvanta-update.record.new/kept", "x");
          },
          Outcome::Untouched, 1}),
    // A rename of the swap fails: what moved goes back, both archives stay.
    Says("put the previous pair back; nothing was installed and both archives are kept: cannot "
         "rename '$F/orvantaet.app'",
         Immovable("SwapRenameFails", kNew)),
    // A killed run's swap that cannot go forward now turns back; this run's own swap fails too.
    Says("settled a killed run (put back the pair it had begun to replace); put the previous "
         "pair back",
         Immovable("ForwardRecoveryRenameFails", KilledBetweenTheBackups)),
    // Archive arguments whose removal at the end would take more than an archive in the folder.
    Refused("ArchiveIsTheFolder", ".", "second.zip", kNew),
    Refused("ArchiveIsABundle", "first.zip", "./orvantaes.app/", kNew),
    Refused("ArchiveIsAnAbsentBundle", "first.zip", "orvantaet.app",
            [](UpdateFault& t) {
              stdfs::remove_all(t.folder + "/orvantaet.app");
              t.NewArchives();
            }),
    Refused("ArchiveInsideABundle", "orvantaes.app/Contents/MacOS/agent", "second.zip", kNew),
    Refused("ArchiveIsABackupName", "orvantaes.app.12", "second.zip",
            [](UpdateFault& t) {
              t.NewArchives();
              WriteFile(t.folder + "/orvantaes.app.12", "a leftover");
            }),
    Refused("ArchiveIsTheRecord", ".orvanta-update.record", "second.zip", kNew),
    Refused("ArchiveIsAFolder", "first.zip", "sub.zip",
            [](UpdateFault& t) {
              t.NewArchives();
              MakeDirs(t.folder + "/sub.zip");
            }),
    Refused("ArchiveLinksToAFolder", "first.zip", "link.zip",
            [](UpdateFault& t) {
              t.NewArchives();
              ASSERT_EQ(symlink("orvantaes.app", (t.folder + "/link.zip").c_str()), 0);
            }),
    Refused("ArchiveOutsideTheFolder", "../outside/thesis.txt", "second.zip",
            [](UpdateFault& t) {
              t.NewArchives();
              WriteFile(t.outside + "/thesis.txt", "three years of work");
            }),
    Refused("ArchiveThroughALinkOut", "docs/thesis.txt", "second.zip",
            [](UpdateFault& t) {
              t.NewArchives();
              WriteFile(t.outside + "/thesis.txt", "three years of work");
              ASSERT_EQ(symlink("../outside", (t.folder + "/docs").c_str()), 0);
            }),
    Refused("ArchiveThroughALinkIntoABundle", "mac/agent", "second.zip",
            [](UpdateFault& t) {
              t.NewArchives();
              ASSERT_EQ(symlink("orvantaes.app/Contents/MacOS", (t.folder + "/mac").c_str()), 0);
            }),
    // The folder and the command line.
    Says("installed nothing: cannot open the folder 'sandbox-has-no-such-folder': No such file "
         "or directory",
         Called("FolderIsMissing", {"sandbox-has-no-such-folder", "first.zip", "second.zip"}, kNew,
                Outcome::Untouched, 1)),
    Called("FolderIsAFile", {"apps/first.zip", "first.zip", "second.zip"}, kNew, Outcome::Untouched,
           1),
    Says("installed the new pair in '-apps'",
         Called(
             "FolderNamedWithADash", {"--", "-apps", "first.zip", "second.zip"},
             [](UpdateFault& t) {
               t.NewArchives();
               ASSERT_EQ(symlink("apps", (t.sandbox / "-apps").c_str()), 0);
             },
             Outcome::NewPair, 0)),
    Called("DashFolderWithoutTheEndOfOptions", {"-apps", "first.zip", "second.zip"}, kNew,
           Outcome::Untouched, 2),
    Called("NoArguments", {}, kNew, Outcome::Untouched, 2),
    Called("HelpAmongOperands", {"--", "--help"}, kNew, Outcome::Untouched, 2),
    // How callers really launch it: the reader of its output gone, signals and streams as
    // inherited.
    OutputLost(Launched("BrokenPipeOnOutput", OutputToGoneReader)),
    Launched("ChildSignalIgnored", [] { signal(SIGCHLD, SIG_IGN); }),
    Launched("HangUpIgnoredThenSent", [] { signal(SIGHUP, SIG_IGN); },
             {"unzip-start", "HUP", "process"}),
    OutputLost(Launched("StdoutClosed", [] { close(STDOUT_FILENO); })),
    Launched("StderrClosed", [] { close(STDERR_FILENO); }),
    OutputLost(Launched("StandardStreamsClosed",
                        [] {
                          for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
                            close(fd);
                        })),
    // A terminal's Ctrl-C reaches update's process group; the tools, in a session of their own,
    // see nothing of it. Before the swap the pair is given up...
    {"CtrlCDuringExtraction",
     kNew,
     Outcome::PreviousPair,
     128 + SIGINT,
     {"unzip-end", "INT", "group"}},
    {"CtrlCDuringStop",
     kNew,
     Outcome::PreviousPair,
     128 + SIGINT,
     {"kill", "INT", "group"},
     false,
     false,
     {},
     "first.zip",
     "second.zip",
     nullptr,
     Agent::Cycled},
    // ...a held signal ends a running unzip at once instead of waiting for it...
    {"TermEndsAHangingUnzip",
     kNew,
     Outcome::PreviousPair,
     128 + SIGTERM,
     {"unzip-start", "TERM", "process"},
     false,
     false,
     {},
     "first.zip",
     "second.zip",
     nullptr,
     Agent::Untouched,
     {},
     false,
     true},
    // ...a Ctrl-C that only the tool saw counts as the run's...
    {"IntToToolDuringExtraction",
     kNew,
     Outcome::PreviousPair,
     128 + SIGINT,
     {"unzip-end", "INT", "tool"}},
    // (a tool killed otherwise is a failed extraction, not an interrupt of the run)
    Says("installed nothing: '$F/second.zip' could not be extracted (unzip: ",
         {"ToolKilledDuringExtraction",
          kNew,
          Outcome::PreviousPair,
          3,
          {"unzip-end", "KILL", "tool"}}),
    {"ToolTerminatedDuringExtraction",
     kNew,
     Outcome::PreviousPair,
     3,
     {"unzip-end", "TERM", "tool"}},
    // ...and once the pair is swapped, the run completes.
    {"CtrlCAfterTheSwap", kNew, Outcome::NewPair, 128 + SIGINT, {"reload", "INT", "group"}},
};

const auto kFaultName = [](const ::testing::TestParamInfo<Fault>& info) {
  return std::string(info.param.id);
};
INSTANTIATE_TEST_SUITE_P(Faults, UpdateFault, ::testing::ValuesIn(kFaults), kFaultName);
INSTANTIATE_TEST_SUITE_P(Signals, UpdateFault, ::testing::ValuesIn(SignalRows()), kFaultName);

// unzip's statuses as the real shell reports them: only a whole extraction (warnings included)
// or an absent archive (9, when no file stands there) lets the run go on to judge the bundles.
TEST(ClassifyUnzipStatus, ReadsTheToolsStatuses) {
  using agent::UnzipResult;
  const struct {
    const char* command;
    UnzipResult result;
  } cases[] = {
      {"exit 0", UnzipResult::Completed},
      {"exit 1", UnzipResult::Completed},
      {"exit 9", UnzipResult::NoArchive},
      {"exit 2", UnzipResult::Failed},
      {"exit 3", UnzipResult::Failed},
      {"exit 4", UnzipResult::Failed},
      {"exit 50", UnzipResult::Failed},
      {"exit 51", UnzipResult::Failed},
      {"exit 81", UnzipResult::Failed},
      {"exit 127", UnzipResult::Failed},
      {"exit 80", UnzipResult::Interrupted},
      {"kill -s INT $$", UnzipResult::Interrupted},
      {"sh -c 'kill -s INT $$'", UnzipResult::Interrupted},
      {"kill -s KILL $$", UnzipResult::Failed},
      {"sh -c 'kill -s TERM $$'", UnzipResult::Failed},
  };
  for (const auto& c : cases)
    EXPECT_EQ(agent::ClassifyUnzipStatus(std::system(c.command)), c.result) << c.command;
  EXPECT_EQ(agent::ClassifyUnzipStatus(-1), UnzipResult::Failed);
}

} // namespace
} // namespace orvanta::test
