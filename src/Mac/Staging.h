// The staging folder of an update run and the file-system steps around it: finding links that
// lead out of a tree, making a tree durable, removing trees, and merging the archives' extra
// entries into the live folder without ever writing through a link that stands there.
// Failures come back as text lines ("cannot rename 'a' to 'b': reason"); an empty list is success.
#ifndef ORVANTA_MAC_STAGING_H
#define ORVANTA_MAC_STAGING_H

#include <set>
#include <string>
#include <vector>

namespace orvanta::agent {

using Problems = std::vector<std::string>;

// Every staging folder's name starts with this; the rest is drawn at random.
inline constexpr const char* kStagingPrefix = ".orvanta-update-";

// A fresh staging name (no folder part); nothing is created.
std::string NewStagingName();
// Whether name is one NewStagingName could have returned.
bool IsStagingName(const std::string& name);

// Creates the folder at path with mode 0700; false (and errnoOut set) when it already exists or
// cannot be made.
bool MakePrivateFolder(const std::string& path, int& errnoOut);

// The links below root whose target, resolved as the kernel would, lands outside root, each as
// "'link' -> 'target'". A walk that fails adds its own line.
Problems LinksLeadingOut(const std::string& root);

// Makes the tree at root durable: one flush of the file system that holds it.
Problems FlushTree(const std::string& root);
// fsync of one folder, so that renames and removals in it are durable.
Problems SyncEntry(const std::string& path);

// Whether anything at all, even a dangling link, stands at path; errors count as "something".
bool EntryExists(const std::string& path);

// Removes the tree at path (links removed, not followed); read-only folders inside are opened
// first. A missing path is no error.
Problems RemoveTree(const std::string& path);
// Removes one entry, not recursively; a missing path is no error.
Problems RemoveEntry(const std::string& path);

// Moves the entries of `from` (those at its top named in `skip` left out) into `to` as `unzip -o`
// over `to` would have left them: a file or link replaces what stands at its name, folders merge.
// A folder never goes through a link (nor onto a file), and a file never replaces a folder: such
// entries are problems. With apply false nothing moves: the problems only are listed.
Problems MergeExtras(const std::string& from, const std::string& to,
                     const std::set<std::string>& skip, bool apply);

} // namespace orvanta::agent

#endif // ORVANTA_MAC_STAGING_H
