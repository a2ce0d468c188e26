// Every public function of the library, called from eight threads at once on real inputs: files
// in a scratch folder, a private type database and desktop set-up (as LaunchTest builds one), JSON
// trees, the host's own interfaces (read only). Each thread records what every call answered; the
// answers must equal those of one thread alone, computed afterwards, so that the threads, not a
// warm-up, are the first to reach every lazily built table. Under ThreadSanitizer (preset tsan) a
// data race fails the run by itself.
#include "OrvantaFile.h"
#include "Utils.h"

#include "TestSupport.h"
#include "TextConvert.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using orvanta::test::ReadFile;
using orvanta::test::ScopedEnv;
using orvanta::test::ScratchDir;
using orvanta::test::WriteFile;
using orvanta::text::Utf8ToWide;
using orvanta::text::WideToUtf8;

constexpr int kThreads = 8;
constexpr int kRounds = 3;

std::string Text(bool value) {
  return value ? "true" : "false";
}
std::string Text(const std::wstring& value) {
  return WideToUtf8(value);
}
std::string Text(const std::vector<std::string>& values) {
  std::string text;
  for (const std::string& value : values)
    text += "[" + value + "]";
  return text;
}
template <class Strings> std::string TextOfWide(const Strings& values) {
  std::string text;
  for (const std::wstring& value : values)
    text += "[" + WideToUtf8(value) + "]";
  return text;
}
// The answer of a function that returns a malloc'd buffer, released here.
std::string Owned(char* buffer) {
  const std::string text = buffer != nullptr ? buffer : "(null)";
  std::free(buffer);
  return text;
}

// A port that a listening socket on every address holds for the test's lifetime.
class HeldPort {
public:
  HeldPort() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof where;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        listen(fd_, 1) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&where), &length) != 0)
      throw std::runtime_error("cannot hold a TCP port");
    port_ = ntohs(where.sin_port);
  }
  ~HeldPort() { close(fd_); }
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  std::string port() const { return std::to_string(port_); }
  // Gives the port back; it is free afterwards (unless another program takes it).
  void Release() {
    close(fd_);
    fd_ = -1;
  }

private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Distinct ports that were free a moment ago: held all at once so that none is handed out twice,
// then released.
std::vector<std::string> FreePorts(int count) {
  std::vector<std::unique_ptr<HeldPort>> held;
  std::vector<std::string> ports;
  for (int i = 0; i < count; ++i) {
    held.push_back(std::make_unique<HeldPort>());
    ports.push_back(held.back()->port());
  }
  return ports;
}

class ThreadStress : public ::testing::Test {
protected:
  // The private set-up must be in place before GLib first reads the environment: GIO reads the
  // type database and the desktop entries' folders once per process.
  static void SetUpTestSuite() {
    setup_ = std::make_unique<Setup>();
    const ScratchDir& dir = setup_->dir;
    for (const char* folder : {"data/mime", "data/applications", "config", "tree/a/b", "writable"})
      orvanta::test::MakeDirs(dir / folder);
    // Two types of equal weight for one extension: the tie that GIO settles.
    WriteFile(dir / "data/mime/globs2", "50:application/x-orvanta-first:*.orvtie\n"
                                        "50:application/x-orvanta-second:*.orvtie\n"
                                        "60:application/x-orvanta-stress:*.orvstress\n");
    WriteFile(dir / "record.sh",
              "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + (dir / "launches.log") + "'\n", 0755);
    WriteFile(dir / "data/applications/orvanta-stress.desktop",
              "[Desktop Entry]\nType=Application\nName=Orvanta Stress Recorder\nExec=" +
                  (dir / "record.sh") + " %U\nMimeType=text/plain;\nX-GIO-NoFuse=true\n");
    WriteFile(dir / "config/mimeapps.list",
              "[Default Applications]\ntext/plain=orvanta-stress.desktop\n");
    WriteFile(dir / "notes.txt", "caf\xC3\xA9 notes\n");
    WriteFile(dir / "times.dat", "never read by any call");
    WriteFile(dir / "image.png", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16));
    WriteFile(dir / "doc.pdf", "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n");
    WriteFile(dir / "short", "BM");
    if (mkfifo((dir / "pipe").c_str(), 0600) != 0)
      throw std::runtime_error("mkfifo failed");
    for (const char* file : {"tree/1", "tree/a/2", "tree/a/b/3", "tree/a/b/4"})
      WriteFile(dir / file, "x");
    symlink((dir / "tree/a").c_str(), (dir / "tree/link-to-folder").c_str());
    symlink((dir / "tree/1").c_str(), (dir / "tree/link-to-file").c_str());
  }
  static void TearDownTestSuite() { setup_.reset(); }

  static std::string Path(const std::string& name) { return setup_->dir / name; }

  // The scratch folder, and the environment that points GIO at its data and config folders.
  struct Setup {
    ScratchDir dir{"orvanta-threads"};
    ScopedEnv dataHome{"XDG_DATA_HOME", dir / "data"};
    ScopedEnv configHome{"XDG_CONFIG_HOME", dir / "config"};
  };
  static inline std::unique_ptr<Setup> setup_;
};

// One named call; thread is the caller's index, for the calls that need a resource of their own.
struct Call {
  std::string name;
  std::function<std::string(int thread)> run;
};

// A UTF-8 tree and a wide one holding every JSON type, doubles and nested objects included.
struct JsonTrees {
  rapidjson::GenericDocument<rapidjson::UTF8<char>, OrvantaJsonAllocator> utf8;
  rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>, OrvantaJsonAllocator> wide;

  JsonTrees() {
    utf8.Parse(R"([ "42", "-7.25", "False", "caf\u00e9", 17, -9000000000, 18446744073709551615,
                    0.1, 1e300, true, false, null, [1, 2],
                    {"name": "x", "ratio": 2.5, "nested": {"list": [1.5, "y", null]}} ])");
    wide.Parse(LR"([ "42", "2147483648", "fAlSe", "\u00e9t\u00e9", 3, 1.0e-5,
                     {"a": [true, {"b": 0.25}], "c": "d"} ])");
  }
};

template <class Value> std::string Coercions(const Value& array) {
  std::ostringstream out;
  for (const auto& value : array.GetArray()) {
    out << JsonValueToString(value, "default") << '|' << Text(JsonValueToWideString(value, L"d"))
        << '|' << JsonValueToInt(value, -1) << '|' << JsonValueToLong(value, -2) << '|'
        << JsonValueToIntmax_t(value, -3) << '|' << JsonValueToUIntmax_t(value, 4) << '|'
        << JsonValueToFloat(value, 0.5f) << '|' << JsonValueToBool(value, true) << '\n';
  }
  return out.str();
}

std::vector<Call> EveryCall(const std::function<std::string(const std::string&)>& path,
                            const JsonTrees& json, const std::vector<std::string>& freePorts,
                            const std::string& heldPort,
                            std::vector<std::vector<std::string>>& uuids,
                            std::atomic<int>& launches) {
  const auto wide = [path](const std::string& name) { return Utf8ToWide(path(name)); };
  const std::string nfd = "e\xCC\x81t\xC3\xA9";
  const std::wstring accented = L"caf\u00e9";
  return {
      // Text conversion, path joining, strings.
      {"AppendPath",
       [=](int) {
         return AppendPathToString(std::string("/Applications/ORVANTA-EX/"),
                                   std::string("orvantaes.app")) +
                AppendPathToString(accented, std::wstring(L"b")) +
                AppendPathToString(accented + L"/", std::string("x")) +
                AppendPathToString(std::string("a"), accented) +
                Text(AppendPath(accented, accented)) +
                Text(AppendPath(accented, std::string("s"))) +
                Text(AppendPath(std::string("d/"), std::string("/e"))) +
                Text(AppendPath(std::string(""), accented));
       }},
      {"ExtractFilePath, ConvertFilePath",
       [](int) {
         return Text(ExtractFilePath(L"C:\\dir/sub/file")) +
                Text(ConvertFilePath(L"a\\b\\c\u00e9"));
       }},
      {"CFString",
       [](int) {
         const CFStringRef created = CFStringCreateWithCString(
             kCFAllocatorDefault, "\xC3\xA9t\xC3\xA9", kCFStringEncodingUTF8);
         const std::string text = CFStringRefToUTF8(CFSTR("stress constant")) + "|" +
                                  Text(CFStringRefToWide(created)) + "|" +
                                  CFStringRefToUTF8(nullptr);
         CFRelease(created);
         return text;
       }},
      {"NfdToNfc", [=](int) { return NfdToNfc(nfd) + "|" + NfdToNfc("\xFF"); }},
      {"GetHomeDir", [](int) { return GetHomeDir(); }},
      {"GetUniversalName",
       [](int) {
         std::wstring first = L"1", second = L"2";
         return Text(GetUniversalName(L"/x", first, second)) + Text(first) + Text(second);
       }},
      {"MixString, Split",
       [](int) {
         return MixString("abc", "12345") + TextOfWide(Split(L"a,,b,", L",")) +
                TextOfWide(Split(L"abc", L""));
       }},
      // URL and form encoding.
      {"URL encoding",
       [](int) {
         const char* text = "a b%2F@.\xC3\xA9";
         return std::to_string(numOfPercent(text)) + "|" + std::to_string(numOfEncodingChar(text)) +
                "|" + Owned(URLEncode(text)) + "|" + Owned(URLDecode("%41%2x%+")) + "|" +
                Text(PostDataEncode(L"a b#$%&+@^c"));
       }},
      // JSON coercion; every copy draws from its own document's allocator.
      {"JSON coercions", [&json](int) { return Coercions(json.utf8) + Coercions(json.wide); }},
      {"CopyJsonValue",
       [&json](int) {
         rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>, OrvantaJsonAllocator> copy;
         CopyJsonValue(copy, json.wide, copy.GetAllocator());
         return Text(JsonValueToWideString(copy[6])) + Coercions(copy);
       }},
      // Identifiers and MIME types. UUIDs differ on every call: their form is checked here,
      // their uniqueness after the run.
      {"CreateUUIDString",
       [&uuids](int thread) {
         const std::string narrow = CreateUUIDString(), wideText = Text(CreateUUIDWideString());
         uuids[static_cast<size_t>(thread)].push_back(narrow);
         uuids[static_cast<size_t>(thread)].push_back(wideText);
         const auto wellFormed = [](const std::string& id) {
           return id.size() == 36 && id[8] == '-' && id[13] == '-' && id[14] == '4' &&
                  id.find_first_not_of("0123456789abcdef-") == std::string::npos;
         };
         return Text(wellFormed(narrow) && wellFormed(wideText));
       }},
      {"GetMimeType",
       [](int) {
         std::string text;
         for (const char* name : {"report.pdf", "REPORT.PDF", "main.C", "ls.1", "a.orvtie",
                                  "b.ORVSTRESS", ".hidden.pdf", "none"})
           text += GetMimeType(std::string(name)) + "|" + GetMimeType(Utf8ToWide(name)) + "|";
         return text;
       }},
      // File type detection: a FIFO and a short file among them.
      {"File type detection",
       [=](int) {
         std::string text = Text(GetFileSignature(wide("image.png"))).substr(0, 40);
         for (const char* name : {"image.png", "doc.pdf", "short", "pipe", "missing"})
           text += Text(IsImageFile(path(name))) + Text(IsImageFile(wide(name))) +
                   Text(IsPdf(path(name))) + Text(IsPdf(wide(name))) +
                   std::to_string(GetFileSignature(wide(name)).size());
         return text;
       }},
      // File system queries. IsWritable's probes come and go in their own folder, away from
      // the counted tree.
      {"GetSubDirectory",
       [=](int) {
         return Text(GetSubDirectory(path("tree"), path("tree/a/" + nfd))) + "|" +
                Text(GetSubDirectory(path("tree"), path("notes.txt")));
       }},
      {"GetFileTimes",
       [=](int) {
         long changed = 0, modified = 0, accessed = 0, wideChanged = 0;
         const bool narrow = GetFileTimes(path("times.dat"), &changed, &modified, &accessed);
         const bool wideAnswer = GetFileTimes(wide("times.dat"), &wideChanged, nullptr, nullptr);
         return Text(narrow) + Text(wideAnswer) + std::to_string(changed) + "," +
                std::to_string(modified) + "," + std::to_string(accessed) + "," +
                std::to_string(wideChanged) +
                Text(GetFileTimes(path("missing"), nullptr, nullptr, nullptr));
       }},
      {"GetFileCount",
       [=](int) {
         int count = 0;
         GetFileCount(wide("tree"), count);
         GetFileCount(wide("missing"), count);
         return std::to_string(count);
       }},
      {"IsReadable, IsWritable",
       [=](int) {
         return Text(IsReadable(wide("notes.txt"))) + Text(IsReadable(wide("tree"))) +
                Text(IsReadable(wide("pipe"))) + Text(IsReadable(wide("missing"))) +
                Text(IsWritable(wide("writable"))) + Text(IsWritable(wide("notes.txt"))) +
                Text(IsWritable(wide("missing/x")));
       }},
      // Launching, with the private recorder as the default application of text files.
      {"GetExecuteCommand", [=](int) { return Text(GetExecuteCommand(wide("notes.txt"))); }},
      {"LaunchApplication, ExecuteFile",
       [=, &launches](int) {
         const std::vector<std::string> command = GetExecuteCommand(wide("notes.txt"));
         const bool launched = LaunchApplication(command);
         const bool executed = ExecuteFile(wide("notes.txt"), false);
         launches += int{launched} + int{executed};
         return Text(launched) + Text(executed) + Text(ExecuteFile(wide("missing.txt"), true)) +
                Text(IsOpenAnotherProcess(wide("notes.txt")));
       }},
      // Network and host information, read only.
      {"Interfaces",
       [](int) {
         return Text(GetLocalIP()) + "|" + TextOfWide(GetLocalIpList()) + "|" +
                Text(GetLocalMAC()) + "|" + Text(GetLocalMAC(GetLocalIP())) + "|" +
                Text(GetLocalMAC(L"192.0.2.255"));
       }},
      {"CheckTcpPort",
       [&freePorts, heldPort](int thread) {
         return Text(CheckTcpPort(heldPort)) +
                Text(CheckTcpPort(freePorts[static_cast<size_t>(thread)])) +
                Text(CheckTcpPort("port"));
       }},
      {"Host",
       [](int) {
         return GetCpuModel() + "|" + Text(GetUserNameFromPort(80)) + "|" +
                std::to_string(GetFreeMemory());
       }},
      // COrvantaFile: every member on an object and a file of the thread's own, and objects of
      // their own on one shared file.
      {"COrvantaFile",
       [=](int thread) {
         const std::wstring name = wide("file-" + std::to_string(thread));
         COrvantaFile file(name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC);
         std::ostringstream out;
         out << file.IsOpen() << file.Write(std::string("abc\0def", 7)) << file.Write(accented)
             << file.Write("xyz", 3) << file.Seek(0, SEEK_END) << file.Truncate(12)
             << file.Seek(2, SEEK_SET);
         char buffer[4] = {};
         out << file.Read(buffer, 3) << buffer << '|' << file.ReadToString().size();
         file.Seek(0, SEEK_SET);
         out << Text(file.ReadToWstring()) << (file.GetFilePath() == name) << file.Close()
             << file.Close() << file.Read(buffer, 1);
         COrvantaFile shared(path("notes.txt"), O_RDONLY | O_CLOEXEC);
         out << shared.ReadToString() << shared.Open(path("doc.pdf"), O_RDONLY | O_CLOEXEC)
             << shared.ReadToString().size() << shared.Close()
             << shared.Open(wide("missing"), O_RDONLY) << Text(shared.GetFilePath());
         return out.str();
       }},
  };
}

TEST_F(ThreadStress, EveryFunctionFromEightThreadsAnswersAsOneThreadAlone) {
  const JsonTrees json;
  HeldPort held;
  const std::vector<std::string> freePorts = FreePorts(kThreads);
  std::vector<std::vector<std::string>> uuids(kThreads);
  std::atomic<int> launches{0};
  const std::vector<Call> calls = EveryCall(&Path, json, freePorts, held.port(), uuids, launches);

  // answers[thread][call] holds that thread's answer of every round.
  std::vector<std::vector<std::vector<std::string>>> answers(
      kThreads, std::vector<std::vector<std::string>>(calls.size()));
  std::mutex gate;
  std::condition_variable opened;
  bool go = false;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      {
        std::unique_lock<std::mutex> lock(gate);
        opened.wait(lock, [&] { return go; });
      }
      // Each thread starts at another call, so that every call has its first callers at once
      // and meets every other call.
      for (int round = 0; round < kRounds; ++round)
        for (size_t i = 0; i < calls.size(); ++i) {
          const size_t index = (i + static_cast<size_t>(t) * 3) % calls.size();
          answers[static_cast<size_t>(t)][index].push_back(calls[index].run(t));
        }
    });
  }
  {
    const std::lock_guard<std::mutex> lock(gate);
    go = true;
  }
  opened.notify_all();
  for (std::thread& thread : threads)
    thread.join();

  for (size_t i = 0; i < calls.size(); ++i) {
    for (int t = 0; t < kThreads; ++t) {
      const std::string alone = calls[i].run(t);
      for (const std::string& answer : answers[static_cast<size_t>(t)][i])
        EXPECT_EQ(answer, alone) << calls[i].name << ", thread " << t;
    }
  }

  std::set<std::string> distinct;
  size_t total = 0;
  for (const auto& perThread : uuids) {
    distinct.insert(perThread.begin(), perThread.end());
    total += perThread.size();
  }
  EXPECT_EQ(distinct.size(), total) << "a UUID was handed out twice";
  EXPECT_EQ(orvanta::test::Snapshot(Path("writable")).size(), 0u) << "a write probe was left";

  // Every accepted launch reached the recorder: one line each (the recorder does not wait to be
  // started, so its lines may come late).
  const auto recorded = [&] {
    std::istringstream lines(ReadFile(Path("launches.log")));
    int count = 0;
    for (std::string line; std::getline(lines, line);)
      count += line == "file://" + Path("notes.txt");
    return count;
  };
  for (int i = 0; i < 3000 && recorded() < launches; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(recorded(), launches.load());
  EXPECT_EQ(launches.load(), 2 * (kThreads * kRounds + kThreads));
}

// The link targets of the descriptors that a program started now inherits (pipes without their
// numbers; the listing's own folder left out).
std::set<std::string> InheritedDescriptors() {
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, channel[1], STDOUT_FILENO);
  const char* argv[] = {"ls", "-l", "/proc/self/fd", nullptr};
  pid_t pid = -1;
  const int spawned =
      posix_spawnp(&pid, "ls", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(channel[1]);
  std::string listing;
  char buffer[4096];
  for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;)
    listing.append(buffer, static_cast<size_t>(got));
  close(channel[0]);
  if (spawned != 0)
    throw std::runtime_error("cannot start ls");
  waitpid(pid, nullptr, 0);
  std::set<std::string> targets;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    const size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos)
      continue;
    std::string target = line.substr(arrow + 4);
    if (target.rfind("pipe:", 0) == 0)
      target = "pipe";
    if (target.rfind("/proc/", 0) == 0 && target.size() > 3 &&
        target.compare(target.size() - 3, 3, "/fd") == 0)
      continue;
    targets.insert(target);
  }
  return targets;
}

// What a leaked descriptor was, without the numbers that differ from run to run.
std::string KindOf(std::string target) {
  if (target.rfind("socket:", 0) == 0)
    return "a socket";
  const std::string deleted = " (deleted)";
  if (target.size() > deleted.size() &&
      target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0)
    target.resize(target.size() - deleted.size());
  const std::string probes = "/writable/";
  const size_t at = target.find(probes);
  return at == std::string::npos ? target : target.substr(0, at + probes.size()) + "<probe>";
}

// A descriptor that the library opens for its own use (a probe socket, a probe file, a file it
// reads) is closed on exec: a program that another thread starts meanwhile must not inherit it,
// or it would hold a port bound, or a file open, for as long as it runs. Each function runs in a
// loop of its own while programs start, so its descriptors are open most of the time.
TEST_F(ThreadStress, NoDescriptorOfTheLibraryReachesAProgramAnotherThreadStarts) {
  const std::string freePort = FreePorts(1).front();
  // GLib reads its own copy of the type database with fopen(), whose descriptor a program started
  // meanwhile inherits; nothing of ours can change that. Loaded here first, GLib does not read it
  // again during the loop, so a globs2 descriptor seen there is the library's own.
  g_free(g_content_type_guess("warm-up.txt", nullptr, 0, nullptr));
  const std::set<std::string> before = InheritedDescriptors();
  const std::function<void()> busy[] = {
      [&] { CheckTcpPort(freePort); },
      [] { IsWritable(Utf8ToWide(Path("writable"))); },
      [] { IsReadable(Utf8ToWide(Path("notes.txt"))); },
      [] { GetCpuModel(); },
      // Reads the type database on its first call only.
      [] { GetMimeType(std::string("report.pdf")); },
      [] { GetLocalMAC(); },
      [] { GetFileSignature(Utf8ToWide(Path("image.png"))); },
      [] {
        int count = 0;
        GetFileCount(Utf8ToWide(Path("tree")), count);
      },
  };
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (const auto& call : busy)
    threads.emplace_back([&stop, &call] {
      while (!stop)
        call();
    });
  std::set<std::string> leaked;
  for (int i = 0; i < 100; ++i)
    for (const std::string& target : InheritedDescriptors())
      if (before.count(target) == 0)
        leaked.insert(KindOf(target));
  stop = true;
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(leaked, std::set<std::string>());
}

} // namespace
