// The type database is the freedesktop shared-mime-info database. An extension's type comes only
// from its "*.EXT" glob patterns ("*.pdf", or "*.[1-9]" for a set of extensions): other patterns
// (such as "*~" for backup files, or "README*") describe names, not extensions, and must not
// answer for one. GIO offers no way to ask for a
// pattern's kind, so the patterns come from the database's globs2 files, in the folders and
// order that GIO reads them; GIO still breaks ties between equally weighted types.
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

std::string Lower(std::string_view text) {
  std::string lower(text);
  // Only ASCII letters change case: the classic locale, whatever the process's locale.
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return lower;
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

// Whether an extension pattern matches the whole extension, in its own letters or folded to
// lower case.
bool Matches(const ExtensionGlob& glob, const std::string& extension, bool folded) {
  if (IsLiteral(glob.extension))
    return folded ? Lower(glob.extension) == Lower(extension) : glob.extension == extension;
  return fnmatch(glob.extension.c_str(), extension.c_str(), folded ? FNM_CASEFOLD : 0) == 0;
}

// The "*.EXT" patterns of every globs2 file, in the order read. A folder
// that says "__NOGLOBS__" for a type drops that type's patterns from the folders after it.
class ExtensionGlobs {
public:
  ExtensionGlobs() {
    std::vector<std::string> folders{g_get_user_data_dir()};
    for (const gchar* const* folder = g_get_system_data_dirs(); *folder != nullptr; ++folder)
      folders.emplace_back(*folder);
    std::set<std::string> withoutGlobs;
    for (const std::string& folder : folders)
      Read(folder + "/mime/globs2", withoutGlobs);
  }

  // The candidates for an extension, best weight first within each pass: a case-sensitive match
  // of the letters as given, and only when there is none, any pattern that is not
  // case-sensitive, compared in lower case.
  std::vector<std::string> Best(const std::string& extension) const {
    std::vector<const ExtensionGlob*> exact, folded;
    const auto consider = [&](const ExtensionGlob& glob) {
      if (Matches(glob, extension, false))
        exact.push_back(&glob);
      if (!glob.caseSensitive && Matches(glob, extension, true))
        folded.push_back(&glob);
    };
    const auto literal = literal_.find(Lower(extension));
    if (literal != literal_.end())
      for (const ExtensionGlob& glob : literal->second)
        consider(glob);
    for (const ExtensionGlob& glob : bracketed_)
      consider(glob);
    return Heaviest(!exact.empty() ? exact : folded);
  }

private:
  static std::vector<std::string> Heaviest(const std::vector<const ExtensionGlob*>& globs) {
    int weight = -1;
    for (const ExtensionGlob* glob : globs)
      weight = std::max(weight, glob->weight);
    std::vector<std::string> types;
    for (const ExtensionGlob* glob : globs)
      if (glob->weight == weight &&
          std::find(types.begin(), types.end(), glob->mimeType) == types.end())
        types.push_back(glob->mimeType);
    return types;
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
  void Read(const std::string& file, std::set<std::string>& withoutGlobs) {
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
      Add(IsLiteral(extension) ? literal_[Lower(extension)] : bracketed_, std::move(glob));
    }
    withoutGlobs.insert(droppedHere.begin(), droppedHere.end());
  }

  // Literal patterns keyed by their lower-case extension, in the order read; the few with bracket
  // expressions, tried one by one.
  std::map<std::string, std::vector<ExtensionGlob>> literal_;
  std::vector<ExtensionGlob> bracketed_;
};

// The database is read once per process, as GIO reads its own copy once.
const ExtensionGlobs& Globs() {
  static const ExtensionGlobs globs;
  return globs;
}

} // namespace

std::string MimeTypeForExtension(const std::string& extension) {
  // A NUL would cut the name short and look up another extension.
  if (extension.empty() || extension.find('\0') != std::string::npos)
    return std::string();
  const std::vector<std::string> candidates = Globs().Best(extension);
  if (candidates.empty())
    return std::string();
  if (candidates.size() > 1) {
    // Equal weights: GIO's choice for a name with this extension, when it is one of them.
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

} // namespace orvanta::platform
