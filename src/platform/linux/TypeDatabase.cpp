// The type database is the freedesktop shared-mime-info database. An extension's type comes only
// from its "*.EXT" glob patterns ("*.pdf", or "*.[1-9]" for a set of extensions): other patterns
// (such as "*~" for backup files, or "README*") describe names, not extensions, and must not
// answer for one. GIO offers no way to ask for a pattern's kind, so the patterns come from the
// database's globs2 files, in the folders and order that GIO reads them.
//
// The preferred type of an extension, as GIO prefers among the same patterns: every pattern that
// matches competes by its weight in one pool, a case-sensitive one ("cs") when it matches the
// extension's own letters, any other when it matches them in any case. The heaviest wins. Equal
// top weights are a tie that GIO settles: its guess for a file named "x.EXT", when that is one of
// the tied types; otherwise the tied pattern read first (the user's folder before the system's,
// each file in its order). GIO itself departs from the weights in one case: it lets the
// case-sensitive patterns in only when fewer than two folded ones match, so a heavier
// case-sensitive pattern loses to two lighter folded ones there (no extension of the shipped
// database is written so); here the weights decide.
//
// The answers are worked out once, when the database is read, for every spelling that can occur:
// one per case-sensitive pattern's letters, and one for every other spelling of an extension
// (they all meet the same patterns). A lookup then lower-cases the extension, finds it in a hash
// table and copies the answer; only an extension that a bracket pattern may match is worked out
// at each lookup.
#include "platform/Platform.h"

#include "GLibOwners.h"
#include "WholeFile.h"

#include <fnmatch.h>
#include <gio/gio.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <set>
#include <sstream>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orvanta::platform {
namespace {

// One "*.EXT" pattern: the extension part (literal, or with bracket expressions), the type it names
// and its weight; caseSensitive when it carries the "cs" flag (it then matches only the exact
// letters; the others match in any case).
struct ExtensionGlob {
  std::string extension;
  std::string mimeType;
  int weight = 0;
  bool caseSensitive = false;
};

// Only ASCII letters change case: the classic locale, whatever the process's locale.
char LowerChar(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
char UpperChar(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), LowerChar);
  return lower;
}
std::string Upper(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(), UpperChar);
  return upper;
}
bool EqualFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return LowerChar(x) == LowerChar(y);
         });
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(separator, start);
    fields.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos)
      return fields;
    start = end + 1;
  }
}

// The extension part of a pattern "*.EXT" in which EXT can match only within one extension (no
// "*", "?" or "."); empty for every other pattern.
std::string_view ExtensionOf(std::string_view pattern) {
  if (pattern.size() < 3 || pattern.substr(0, 2) != "*.")
    return std::string_view();
  const std::string_view extension = pattern.substr(2);
  if (extension.find_first_of("*?.\\") != std::string_view::npos)
    return std::string_view();
  return extension;
}

bool IsLiteral(std::string_view extension) {
  return extension.find('[') == std::string_view::npos;
}

// Whether a pattern matches the extension: a case-sensitive one in the extension's own letters,
// any other in any case.
bool Matches(const ExtensionGlob& glob, const std::string& extension) {
  if (IsLiteral(glob.extension))
    return glob.caseSensitive ? glob.extension == extension
                              : EqualFolded(glob.extension, extension);
  return fnmatch(glob.extension.c_str(), extension.c_str(),
                 glob.caseSensitive ? 0 : FNM_CASEFOLD) == 0;
}

// A bracket pattern with what any extension it matches must have: the ASCII letters before its
// first "[" (in any case unless it is case-sensitive), and, for an ASCII extension, one character
// per letter and per bracket expression of the pattern. Only the extensions that have both are
// handed to fnmatch.
struct BracketGlob {
  ExtensionGlob glob;
  std::string prefix;
  std::size_t asciiLength = std::string::npos; // npos: any length may match

  explicit BracketGlob(ExtensionGlob g) : glob(std::move(g)) {
    const std::string& pattern = glob.extension;
    const auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
    const std::string head = pattern.substr(0, pattern.find('['));
    if (std::all_of(head.begin(), head.end(), ascii))
      prefix = head;
    if (!std::all_of(pattern.begin(), pattern.end(), ascii))
      return;
    std::size_t length = 0;
    for (std::size_t i = 0; i < pattern.size(); ++length) {
      if (pattern[i] != '[') {
        ++i;
        continue;
      }
      std::size_t first = i + 1; // the first member, which may be "]"
      if (first < pattern.size() && (pattern[first] == '!' || pattern[first] == '^'))
        ++first;
      const std::size_t close = pattern.find(']', first + 1);
      // Unclosed (a literal "[" then), or holding a class such as "[:digit:]": not counted.
      if (close == std::string::npos || pattern.find('[', i + 1) < close)
        return;
      i = close + 1;
    }
    asciiLength = length;
  }

  bool MayMatch(std::string_view extension, bool ascii) const {
    if (ascii && asciiLength != std::string::npos && extension.size() != asciiLength)
      return false;
    if (extension.size() < prefix.size())
      return false;
    const std::string_view head = extension.substr(0, prefix.size());
    return glob.caseSensitive ? head == prefix : EqualFolded(head, prefix);
  }
};

// What a lookup of one lower-case extension answers.
struct Answer {
  // The answer for each spelling that a case-sensitive pattern names.
  std::vector<std::pair<std::string, std::string>> exact;
  // The answer for every other spelling; empty when nothing matches them.
  std::string folded;
  // Set when no spelling could be found to settle a tie among the folded matches with: each
  // lookup then works its answer out.
  bool atEachLookup = false;
};

// The "*.EXT" patterns of every globs2 file, in the order read. A folder that says
// "__NOGLOBS__" for a type drops that type's patterns from the folders after it.
class ExtensionGlobs {
public:
  ExtensionGlobs() {
    std::vector<std::string> folders{g_get_user_data_dir()};
    for (const gchar* const* folder = g_get_system_data_dirs(); *folder != nullptr; ++folder)
      folders.emplace_back(*folder);
    std::set<std::string> withoutGlobs;
    std::vector<ExtensionGlob> bracketed;
    for (const std::string& folder : folders)
      Read(folder + "/mime/globs2", withoutGlobs, bracketed);
    for (ExtensionGlob& glob : bracketed)
      bracketed_.emplace_back(std::move(glob));
    for (const auto& [key, globs] : literal_) {
      answers_.emplace(key, Precompute(key, globs));
      longestKey_ = std::max(longestKey_, key.size());
    }
  }

  std::string Lookup(std::string_view extension) const {
    bool ascii = true;
    for (const char c : extension)
      ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    for (const BracketGlob& bracket : bracketed_)
      if (bracket.MayMatch(extension, ascii) && Matches(bracket.glob, std::string(extension)))
        return Resolve(std::string(extension));
    if (extension.size() > longestKey_)
      return std::string();
    std::string key(extension);
    std::transform(key.begin(), key.end(), key.begin(), LowerChar);
    const auto found = answers_.find(key);
    if (found == answers_.end())
      return std::string();
    const Answer& answer = found->second;
    for (const auto& [spelling, type] : answer.exact)
      if (spelling == extension)
        return type;
    if (answer.atEachLookup)
      return Resolve(std::string(extension));
    return answer.folded;
  }

private:
  // The types of the heaviest matching patterns, in the order read (literal patterns first).
  std::vector<std::string> Heaviest(const std::string& extension) const {
    std::vector<const ExtensionGlob*> matching;
    const auto literal = literal_.find(Lower(extension));
    if (literal != literal_.end())
      for (const ExtensionGlob& glob : literal->second)
        if (Matches(glob, extension))
          matching.push_back(&glob);
    for (const BracketGlob& bracket : bracketed_)
      if (Matches(bracket.glob, extension))
        matching.push_back(&bracket.glob);
    int weight = -1;
    for (const ExtensionGlob* glob : matching)
      weight = std::max(weight, glob->weight);
    std::vector<std::string> types;
    for (const ExtensionGlob* glob : matching)
      if (glob->weight == weight &&
          std::find(types.begin(), types.end(), glob->mimeType) == types.end())
        types.push_back(glob->mimeType);
    return types;
  }

  // The preferred type for the extension spelt this way; empty when nothing matches.
  std::string Resolve(const std::string& extension) const {
    const std::vector<std::string> candidates = Heaviest(extension);
    if (candidates.empty())
      return std::string();
    if (candidates.size() > 1) {
      const std::string fileName = "x." + extension;
      gboolean uncertain = FALSE;
      glib::Text contentType(g_content_type_guess(fileName.c_str(), nullptr, 0, &uncertain));
      if (contentType) {
        glib::Text mimeType(g_content_type_get_mime_type(contentType.get()));
        if (mimeType &&
            std::find(candidates.begin(), candidates.end(), mimeType.get()) != candidates.end())
          return std::string(mimeType.get());
      }
    }
    return candidates.front();
  }

  bool AnyBracketMatches(const std::string& extension) const {
    return std::any_of(bracketed_.begin(), bracketed_.end(), [&](const BracketGlob& bracket) {
      return Matches(bracket.glob, extension);
    });
  }

  // The answers for one lower-case extension, each worked out as a lookup at each call would.
  Answer Precompute(const std::string& key, const std::vector<ExtensionGlob>& globs) const {
    Answer answer;
    for (const ExtensionGlob& glob : globs)
      if (glob.caseSensitive &&
          std::none_of(answer.exact.begin(), answer.exact.end(),
                       [&](const auto& e) { return e.first == glob.extension; }))
        answer.exact.emplace_back(glob.extension, Resolve(glob.extension));
    // Every other spelling meets the same patterns: those that are not case-sensitive. A
    // spelling that stands for them all names no case-sensitive pattern and matches no bracket
    // pattern (those spellings are answered before the table is asked).
    const auto standsForTheRest = [&](const std::string& spelling) {
      return std::none_of(answer.exact.begin(), answer.exact.end(),
                          [&](const auto& e) { return e.first == spelling; }) &&
             !AnyBracketMatches(spelling);
    };
    if (standsForTheRest(key))
      answer.folded = Resolve(key);
    else if (const std::string upper = Upper(key); standsForTheRest(upper))
      answer.folded = Resolve(upper);
    else
      answer.atEachLookup = true;
    return answer;
  }

  // The database may list a case-sensitive pattern a second time without the flag; it stays
  // case-sensitive, as GIO's own lookup keeps it.
  static void Add(std::vector<ExtensionGlob>& globs, ExtensionGlob glob) {
    for (ExtensionGlob& known : globs) {
      if (known.mimeType == glob.mimeType && known.extension == glob.extension) {
        known.caseSensitive = known.caseSensitive || glob.caseSensitive;
        known.weight = std::max(known.weight, glob.weight);
        return;
      }
    }
    globs.push_back(std::move(glob));
  }

  // Lines are "weight:type:pattern[:flags[:...]]", the flags separated by commas; "#" starts a
  // comment.
  void Read(const std::string& file, std::set<std::string>& withoutGlobs,
            std::vector<ExtensionGlob>& bracketed) {
    std::istringstream in(sys::ReadWholeFile(file).value_or(std::string()));
    std::set<std::string> droppedHere;
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line.front() == '#')
        continue;
      const std::vector<std::string_view> fields = Split(line, ':');
      if (fields.size() < 3)
        continue;
      const std::string mimeType(fields[1]);
      if (fields[2] == "__NOGLOBS__") {
        droppedHere.insert(mimeType);
        continue;
      }
      if (withoutGlobs.count(mimeType) != 0)
        continue;
      const std::string_view extension = ExtensionOf(fields[2]);
      if (extension.empty())
        continue;
      ExtensionGlob glob;
      glob.extension = std::string(extension);
      glob.mimeType = mimeType;
      if (std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), glob.weight).ec !=
          std::errc())
        continue;
      if (fields.size() > 3)
        for (const std::string_view flag : Split(fields[3], ','))
          glob.caseSensitive = glob.caseSensitive || flag == "cs";
      Add(IsLiteral(extension) ? literal_[Lower(extension)] : bracketed, std::move(glob));
    }
    withoutGlobs.insert(droppedHere.begin(), droppedHere.end());
  }

  // Literal patterns keyed by their lower-case extension, in the order read; the few with bracket
  // expressions, tried one by one.
  std::map<std::string, std::vector<ExtensionGlob>> literal_;
  std::vector<BracketGlob> bracketed_;
  std::unordered_map<std::string, Answer> answers_;
  std::size_t longestKey_ = 0;
};

// The database is read once per process, as GIO reads its own copy once.
const ExtensionGlobs& Globs() {
  static const ExtensionGlobs globs;
  return globs;
}

} // namespace

std::string MimeTypeForExtension(std::string_view extension) {
  // A NUL would cut the name short and look up another extension.
  if (extension.empty() || extension.find('\0') != std::string_view::npos)
    return std::string();
  return Globs().Lookup(extension);
}

} // namespace orvanta::platform
