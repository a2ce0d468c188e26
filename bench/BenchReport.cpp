// bench_report RESULT.json...: reads the JSON results of the benchmark programs and prints one
// Markdown table: function, input, our time, the best peer's time, the ratio to it, each target
// with the ratio it is judged by, and whether every target of the row was met.
//
// A time is the median of the repetitions (or of the iterations when there were none): CPU time
// for work done inside the process, wall time where processes take part (the benchmark then says
// real_time). Ratios are a peer's time over ours: above 1 means ours is faster.
#include <rapidjson/document.h>
#include <rapidjson/istreamwrapper.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// "Function/implementation/input[/size]" plus Google Benchmark's own suffixes, parsed.
struct Name {
  std::string function, implementation, input;
  bool wallClock = false;
};

std::optional<Name> Parse(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  for (std::string part; std::getline(stream, part, '/');)
    parts.push_back(part);
  Name name;
  std::vector<std::string> kept;
  for (const std::string& part : parts) {
    if (part == "real_time" || part == "manual_time")
      name.wallClock = true;
    else if (part.find(':') == std::string::npos)
      kept.push_back(part);
  }
  if (kept.size() < 3)
    return std::nullopt;
  name.function = kept[0];
  name.implementation = kept[1];
  name.input = kept[2];
  for (std::size_t i = 3; i < kept.size(); ++i)
    name.input += "/" + kept[i];
  return name;
}

double ToNanoseconds(double value, const std::string& unit) {
  if (unit == "us")
    return value * 1e3;
  if (unit == "ms")
    return value * 1e6;
  if (unit == "s")
    return value * 1e9;
  return value;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// function -> implementation -> input -> time in nanoseconds.
using Results = std::map<std::string, std::map<std::string, std::map<std::string, double>>>;

struct Context {
  std::string date, host;
  int cpus = 0;
  double mhz = 0;
};

// Counters that hold a duration in seconds, reported as rows of their own.
const char* const kDurationCounters[] = {"unload_to_reload_s"};

bool Load(const std::string& path, Results& results, Context& context) {
  std::ifstream in(path);
  if (!in) {
    std::cerr << "bench_report: cannot read " << path << '\n';
    return false;
  }
  rapidjson::IStreamWrapper wrapper(in);
  rapidjson::Document document;
  document.ParseStream(wrapper);
  if (document.HasParseError() || !document.IsObject() || !document.HasMember("benchmarks")) {
    std::cerr << "bench_report: " << path << " is not a benchmark result\n";
    return false;
  }
  if (document.HasMember("context") && context.date.empty()) {
    const auto& c = document["context"];
    if (c.HasMember("date"))
      context.date = c["date"].GetString();
    if (c.HasMember("host_name"))
      context.host = c["host_name"].GetString();
    if (c.HasMember("num_cpus"))
      context.cpus = c["num_cpus"].GetInt();
    if (c.HasMember("mhz_per_cpu"))
      context.mhz = c["mhz_per_cpu"].GetDouble();
  }
  std::map<std::string, std::vector<double>> iterations;
  std::map<std::string, double> medians;
  std::map<std::string, Name> names;
  for (const auto& b : document["benchmarks"].GetArray()) {
    if (b.HasMember("error_occurred") && b["error_occurred"].GetBool())
      continue;
    const std::string runName =
        b.HasMember("run_name") ? b["run_name"].GetString() : b["name"].GetString();
    const std::optional<Name> name = Parse(runName);
    if (!name)
      continue;
    names[runName] = *name;
    const double time = ToNanoseconds(b[name->wallClock ? "real_time" : "cpu_time"].GetDouble(),
                                      b.HasMember("time_unit") ? b["time_unit"].GetString() : "ns");
    const std::string type = b.HasMember("run_type") ? b["run_type"].GetString() : "iteration";
    const auto record = [&](const std::string& run, double nanoseconds) {
      if (type == "aggregate") {
        if (std::string(b["aggregate_name"].GetString()) == "median")
          medians[run] = nanoseconds;
      } else {
        iterations[run].push_back(nanoseconds);
      }
    };
    record(runName, time);
    // A duration a benchmark measured inside its runs (in seconds) becomes a function of its own:
    // "COUNTER/implementation/input".
    for (const char* counter : kDurationCounters) {
      if (!b.HasMember(counter))
        continue;
      const std::string run = std::string(counter) + runName.substr(runName.find('/'));
      names[run] = {counter, name->implementation, name->input, true};
      record(run, b[counter].GetDouble() * 1e9);
    }
  }
  for (const auto& [runName, name] : names) {
    const auto median = medians.find(runName);
    const double time = median != medians.end() ? median->second : Median(iterations[runName]);
    results[name.function][name.implementation][name.input] = time;
  }
  return true;
}

// --- the rows ----------------------------------------------------------------------------------

enum class Kind {
  kFaster, // peer time / our time >= value
  kWithin, // our time / peer time <= value
  kAtMost, // our time <= value nanoseconds
};

// The peer of a target that is judged against the fastest of the row's peers.
const std::string kBestPeer = "*";

struct Target {
  std::string peer; // "function/implementation" of the peer, kBestPeer, or empty for kAtMost
  Kind kind;
  double value;
  std::string text;
  std::string peerInput = {}; // the peer's input when it is not the row's
};

struct Row {
  std::string label;              // function as the table names it
  std::string function;           // benchmark function
  std::string input;              // input key; "*" for the one input the program measured
  std::vector<std::string> peers; // "function/implementation"
  std::vector<Target> targets;
};

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = [] {
    std::vector<Row> r;
    const std::string mib = "/1048576";
    const char* const byteKinds[] = {"mixed", "all-safe", "binary"};
    // Short inputs (a query value, a form field) are dominated by the fixed cost of a call; the
    // large one by the per-byte work.
    const char* const byteSizes[] = {"/24", "/200", "/1048576"};
    for (const char* kind : byteKinds)
      for (const char* size : byteSizes) {
        const std::string input = kind + std::string(size);
        Row row{"URLEncode",
                "URLEncode",
                input,
                {"URLEncode/g_uri_escape_bytes", "URLEncode/curl_easy_escape"},
                {{kBestPeer, Kind::kFaster, 1.0, "≥ 1× the fastest peer"}}};
        if (std::string(size) == mib) {
          const bool safe = std::string(kind) == "all-safe";
          row.targets.push_back({"URLEncode/g_uri_escape_bytes", Kind::kFaster, safe ? 2.0 : 5.0,
                                 safe ? "≥ 2× g_uri_escape_bytes" : "≥ 5× g_uri_escape_bytes"});
        }
        r.push_back(row);
      }
    for (const char* kind : byteKinds)
      for (const char* size : byteSizes) {
        const std::string input = kind + std::string(size);
        Row row{"URLDecode",
                "URLDecode",
                input,
                {"URLDecode/g_uri_unescape_bytes", "URLDecode/curl_easy_unescape"},
                {{kBestPeer, Kind::kFaster, 1.0, "≥ 1× the fastest peer"}}};
        if (std::string(size) == mib) {
          if (std::string(kind) == "mixed")
            row.targets.push_back({"URLDecode/g_uri_unescape_bytes", Kind::kFaster, 1.3,
                                   "≥ 1.3× g_uri_unescape_bytes"});
          row.targets.push_back(
              {"URLDecode/curl_easy_unescape", Kind::kFaster, 2.0, "≥ 2× curl_easy_unescape"});
        }
        r.push_back(row);
      }
    // A conversion's row label, benchmark function and ICU peer.
    struct Direction {
      const char* label;
      const char* function;
      const char* icu;
    };
    const Direction directions[] = {{"UTF-8 → wide", "Utf8ToWide", "icu_U8_NEXT"},
                                    {"wide → UTF-8", "WideToUtf8", "icu_U8_APPEND"}};
    for (const auto& d : directions) {
      const std::string f = d.function;
      for (const char* kind : {"ascii", "ascii-heavy", "cjk-heavy", "four-byte", "prose"}) {
        Row row{d.label,
                f,
                kind + mib,
                {f + "/boost_utf_to_utf", f + "/" + d.icu, f + "/iconv"},
                {{kBestPeer, Kind::kFaster, 1.0, "≥ 1× the fastest of ICU, iconv, Boost"}}};
        if (std::string(kind) == "ascii")
          row.targets.push_back(
              {f + "/" + d.icu, Kind::kFaster, 1.5, std::string("≥ 1.5× ICU ") + d.icu + " loop"});
        r.push_back(row);
      }
    }
    // Path-sized texts through the public joins with an empty first piece, the argument copy
    // included: what callers convert most.
    const Direction paths[] = {{"AppendPath: UTF-8 → wide", "PathToWide", "icu_U8_NEXT"},
                               {"AppendPathToString: wide → UTF-8", "PathToUtf8", "icu_U8_APPEND"}};
    for (const auto& p : paths) {
      const std::string f = p.function;
      r.push_back({p.label,
                   f,
                   "paths_30-140_B",
                   {f + "/boost_utf_to_utf", f + "/" + p.icu, f + "/iconv"},
                   {{kBestPeer, Kind::kFaster, 1.2, "≥ 1.2× the fastest of ICU, iconv, Boost"}}});
    }
    r.push_back(
        {"GetMimeType",
         "GetMimeType",
         "*",
         {"GetMimeType/g_content_type_guess"},
         {{"GetMimeType/g_content_type_guess", Kind::kFaster, 2.0, "≥ 2× g_content_type_guess"}}});
    r.push_back({"GetFileCount",
                 "GetFileCount",
                 "*",
                 {"GetFileCount/find_wc", "GetFileCount/std_filesystem"},
                 {{"GetFileCount/find_wc", Kind::kFaster, 1.0, "≥ 1× find -type f \\| wc -l"}}});
    r.push_back({"IsImageFile",
                 "IsImageFile",
                 "*",
                 {"IsImageFile/std_ifstream_12B", "IsImageFile/libmagic_mime"},
                 // The stream opens whatever the path names; ours reads the status first and
                 // checks the opened descriptor again, two calls more.
                 {{"IsImageFile/std_ifstream_12B", Kind::kFaster, 0.9, "≥ 0.9× std::ifstream"},
                  {"IsImageFile/libmagic_mime", Kind::kFaster, 8.0, "≥ 8× libmagic"}}});
    r.push_back({"GetFileSignature",
                 "GetFileSignature",
                 "*",
                 {"GetFileSignature/std_ifstream_576B", "IsImageFile/libmagic_mime"},
                 {{"GetFileSignature/std_ifstream_576B", Kind::kFaster, 1.0, "≥ 1× std::ifstream"},
                  {"IsImageFile/libmagic_mime", Kind::kFaster, 8.0, "≥ 8× libmagic"}}});
    r.push_back({"CreateUUIDString",
                 "CreateUUIDString",
                 "*",
                 {"CreateUUIDString/boost_random_generator_pure", "CreateUUIDString/libuuid"},
                 {{"CreateUUIDString/boost_random_generator_pure", Kind::kFaster, 0.95,
                   "≥ 0.95× Boost generator + to_string"},
                  {"CreateUUIDString/libuuid", Kind::kFaster, 4.0, "≥ 4× libuuid"}}});
    r.push_back({"ExistProcess",
                 "ExistProcess",
                 "*",
                 {"ExistProcess/pgrep_x"},
                 {{"", Kind::kAtMost, 1e6, "≤ 1 ms"},
                  {"ExistProcess/pgrep_x", Kind::kFaster, 10.0, "≥ 10× pgrep -x"}}});
    // A run without a log service must not be the slower one.
    r.push_back(
        {"RecordEvent",
         "RecordEvent",
         "*",
         {"RecordEvent/reading_log_socket", "RecordEvent/stuck_log_socket",
          "RecordEvent/glibc_syslog_no_socket", "RecordEvent/glibc_syslog_reading"},
         {{"RecordEvent/reading_log_socket", Kind::kWithin, 1.1,
           "≤ 1.1× with a reading log socket"},
          {"RecordEvent/stuck_log_socket", Kind::kWithin, 1.1, "≤ 1.1× with a stuck one"}}});
    // The whole run beside the shell script, and the agent's downtime within those runs, which
    // must stay short and not grow with the archives.
    for (const char* input : {"2_zips_50MB", "2_zips_200MB"}) {
      r.push_back(
          {"update (end to end)",
           "update",
           input,
           {"update/shell_script"},
           {{"update/shell_script", Kind::kWithin, 1.05, "≤ 1.05× the shell script's time"}}});
      Row downtime{"update: unload → reload",
                   "unload_to_reload_s",
                   input,
                   {"unload_to_reload_s/shell_script"},
                   {{"", Kind::kAtMost, 0.25e9, "≤ 0.25 s"}}};
      if (std::string(input) == "2_zips_200MB")
        downtime.targets.push_back(
            {"unload_to_reload_s/ours", Kind::kWithin, 1.2, "≤ 1.2× ours at 50 MB", "2_zips_50MB"});
      r.push_back(downtime);
    }
    // The same run with no log socket at all must not be the slower one.
    r.push_back({"update without a log service",
                 "update_log_service",
                 "2_zips_50MB",
                 {"update_log_service/reading_log_socket", "update_log_service/stuck_log_socket"},
                 {{"update_log_service/reading_log_socket", Kind::kWithin, 1.05,
                   "≤ 1.05× with a reading log socket"}}});
    return r;
  }();
  return rows;
}

std::string Time(double ns) {
  char text[32];
  if (ns < 1e3)
    std::snprintf(text, sizeof text, "%.0f ns", ns);
  else if (ns < 1e6)
    std::snprintf(text, sizeof text, "%.3g µs", ns / 1e3);
  else if (ns < 1e9)
    std::snprintf(text, sizeof text, "%.3g ms", ns / 1e6);
  else
    std::snprintf(text, sizeof text, "%.3g s", ns / 1e9);
  return text;
}

std::string Ratio(double ratio) {
  char text[32];
  std::snprintf(text, sizeof text, ratio < 10 ? "%.2f×" : "%.1f×", ratio);
  return text;
}

// The time of function/implementation on the input ("*": its only input); the input found.
std::optional<std::pair<double, std::string>> Find(const Results& results, const std::string& key,
                                                   const std::string& input) {
  const std::size_t slash = key.find('/');
  const auto function = results.find(key.substr(0, slash));
  if (function == results.end())
    return std::nullopt;
  const auto implementation = function->second.find(key.substr(slash + 1));
  if (implementation == function->second.end() || implementation->second.empty())
    return std::nullopt;
  const auto& inputs = implementation->second;
  if (input == "*")
    return std::make_pair(inputs.begin()->second, inputs.begin()->first);
  const auto found = inputs.find(input);
  if (found == inputs.end())
    return std::nullopt;
  return std::make_pair(found->second, found->first);
}

std::string Readable(std::string input) {
  const std::string mib = "/1048576";
  const std::size_t slash = input.rfind('/');
  if (input.size() > mib.size() && input.compare(input.size() - mib.size(), mib.size(), mib) == 0)
    input = input.substr(0, input.size() - mib.size()) + ", 1 MiB";
  else if (slash != std::string::npos && slash + 1 < input.size() &&
           input.find_first_not_of("0123456789", slash + 1) == std::string::npos)
    input = input.substr(0, slash) + ", " + input.substr(slash + 1) + " B";
  std::replace(input.begin(), input.end(), '_', ' ');
  return input == "-" ? "one UUID" : input;
}

std::string ImplementationOf(const std::string& key) {
  return key.substr(key.find('/') + 1);
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: bench_report RESULT.json...\n";
    return 2;
  }
  Results results;
  Context context;
  for (int i = 1; i < argc; ++i)
    if (!Load(argv[i], results, context))
      return 1;

  std::cout << "| function | input | ours | best peer | ratio | target (measured ratio) | met |\n"
            << "|---|---|---:|---|---:|---|:---:|\n";
  int missing = 0, met = 0, rows = 0;
  for (const Row& row : Rows()) {
    ++rows;
    const auto ours = Find(results, row.function + "/ours", row.input);
    if (!ours) {
      std::cout << "| " << row.label << " | " << Readable(row.input)
                << " | not measured | | | | no |\n";
      ++missing;
      continue;
    }
    std::optional<std::pair<double, std::string>> best;
    std::string bestName;
    for (const std::string& peer : row.peers) {
      const auto time = Find(results, peer, row.input);
      if (time && (!best || time->first < best->first)) {
        best = time;
        bestName = ImplementationOf(peer);
      }
    }
    bool allMet = true;
    std::string targets;
    for (const Target& target : row.targets) {
      std::string measured;
      bool ok = false;
      if (target.kind == Kind::kAtMost) {
        ok = ours->first <= target.value;
        measured = Time(ours->first);
      } else if (const auto peer =
                     target.peer == kBestPeer
                         ? best
                         : Find(results, target.peer,
                                target.peerInput.empty() ? row.input : target.peerInput)) {
        const double ratio =
            target.kind == Kind::kFaster ? peer->first / ours->first : ours->first / peer->first;
        ok = target.kind == Kind::kFaster ? ratio >= target.value : ratio <= target.value;
        measured = Ratio(ratio);
      } else {
        measured = "peer not measured";
      }
      allMet = allMet && ok;
      targets += (targets.empty() ? "" : "; ") + target.text + " (" + measured + ")";
    }
    met += allMet;
    std::cout << "| " << row.label << " | " << Readable(ours->second) << " | " << Time(ours->first)
              << " | " << (best ? bestName + " " + Time(best->first) : std::string("not measured"))
              << " | " << (best ? Ratio(best->first / ours->first) : std::string()) << " | "
              << targets << " | " << (allMet ? "yes" : "**no**") << " |\n";
  }
  std::cout << "\n" << met << " of " << rows << " rows met every target";
  if (!context.date.empty())
    std::cout << "; measured " << context.date << " on " << context.cpus << " CPUs at "
              << std::lround(context.mhz) << " MHz";
  std::cout << ".\n";
  return missing == 0 ? 0 : 1;
}
