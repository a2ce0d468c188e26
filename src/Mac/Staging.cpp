#include "Staging.h"

#include "platform/Platform.h"

#include "Interrupt.h"
#include "ScopedHandles.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace orvanta::agent {
namespace {

namespace fs = boost::filesystem;
using boost::system::error_code;

constexpr char kNameLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kNameLetterCount = sizeof kNameLetters - 1;
constexpr size_t kRandomPartLength = 10;

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
}

std::string Failure(const std::string& what, const error_code& error) {
  return "cannot " + what + ": " + error.message();
}

// fsync of the folder at path (a link to one is followed); 0 on success, else the errno.
int SyncFolder(const std::string& path) {
  const sys::UniqueFd folder(sys::RetryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY); }));
  if (!folder)
    return errno;
  return ::fsync(folder.get()) == 0 ? 0 : errno;
}

std::string SyncFailure(const std::string& path, int errorNumber) {
  return Failure("sync " + Quoted(path), error_code(errorNumber, boost::system::system_category()));
}

// Gives the owner full rights on every folder of the tree (links are not followed), so that a
// tree with read-only folders can be emptied by whoever owns it.
void OpenFolders(const fs::path& root) {
  error_code error;
  if (fs::symlink_status(root, error).type() != fs::directory_file)
    return;
  fs::permissions(root, fs::add_perms | fs::owner_all, error);
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    error_code ignored;
    if (it->symlink_status(ignored).type() == fs::directory_file)
      fs::permissions(it->path(), fs::add_perms | fs::owner_all, ignored);
  }
}

void Merge(const fs::path& from, const fs::path& to, const std::set<std::string>* skip, bool apply,
           Problems& problems) {
  error_code error;
  for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (skip != nullptr && skip->count(name) != 0)
      continue;
    const fs::path source = it->path(), target = to / name;
    error_code sourceError, targetError;
    const fs::file_type sourceType = fs::symlink_status(source, sourceError).type();
    const fs::file_type targetType = fs::symlink_status(target, targetError).type();
    if (sourceType == fs::status_error || targetType == fs::status_error) {
      problems.push_back(Failure(
          "check " + Quoted(sourceType == fs::status_error ? source.string() : target.string()),
          sourceType == fs::status_error ? sourceError : targetError));
      continue;
    }
    const bool targetFree = targetType == fs::file_not_found;
    if (sourceType == fs::directory_file && targetType == fs::directory_file) {
      Merge(source, target, nullptr, apply, problems);
      continue;
    }
    if (sourceType == fs::directory_file && targetType == fs::symlink_file) {
      problems.push_back(Quoted(target.string()) +
                         " is a link: nothing of the archives is written through it");
      continue;
    }
    if (!targetFree && (sourceType == fs::directory_file || targetType == fs::directory_file)) {
      problems.push_back(Quoted(target.string()) + " stands where the archives put a " +
                         (sourceType == fs::directory_file ? "folder" : "file"));
      continue;
    }
    if (!apply)
      continue;
    // rename replaces a file or link at the target itself, never what a link points to.
    fs::rename(source, target, error);
    if (error) {
      problems.push_back(
          Failure("rename " + Quoted(source.string()) + " to " + Quoted(target.string()), error));
      error.clear();
    }
  }
  if (error)
    problems.push_back(Failure("list " + Quoted(from.string()), error));
}

} // namespace

std::string NewStagingName() {
  std::random_device entropy;
  std::uniform_int_distribution<size_t> pick(0, kNameLetterCount - 1);
  std::string name = kStagingPrefix;
  for (size_t i = 0; i < kRandomPartLength; ++i)
    name += kNameLetters[pick(entropy)];
  return name;
}

bool IsStagingName(const std::string& name) {
  const size_t prefix = std::strlen(kStagingPrefix);
  if (name.size() != prefix + kRandomPartLength || name.compare(0, prefix, kStagingPrefix) != 0)
    return false;
  for (size_t i = prefix; i < name.size(); ++i)
    if (name[i] == '\0' || std::strchr(kNameLetters, name[i]) == nullptr)
      return false;
  return true;
}

bool MakePrivateFolder(const std::string& path, int& errnoOut) {
  if (::mkdir(path.c_str(), S_IRWXU) == 0)
    return true;
  errnoOut = errno;
  return false;
}

Problems LinksLeadingOut(const std::string& root) {
  Problems problems;
  error_code error;
  const fs::path realRoot = fs::canonical(root, error);
  if (error) {
    problems.push_back(Failure("resolve " + Quoted(root), error));
    return problems;
  }
  for (fs::recursive_directory_iterator it(realRoot, error), end; !error && it != end;
       it.increment(error)) {
    error_code linkError;
    if (it->symlink_status(linkError).type() != fs::symlink_file)
      continue;
    const fs::path& link = it->path();
    const fs::path target = fs::read_symlink(link, linkError);
    if (linkError) {
      problems.push_back(Failure("read the link " + Quoted(link.string()), linkError));
      continue;
    }
    // Where a write through the link would land, every link on the way followed.
    const fs::path lands = fs::weakly_canonical(
        target.is_absolute() ? target : link.parent_path() / target, linkError);
    const fs::path inside = linkError ? fs::path() : lands.lexically_relative(realRoot);
    if (!inside.empty() && *inside.begin() != "..")
      continue;
    problems.push_back("the link " + Quoted(link.string()) + " -> " + Quoted(target.string()) +
                       " leads outside the archives");
  }
  if (error)
    problems.push_back(Failure("list " + Quoted(root), error));
  return problems;
}

Problems FlushTree(const std::string& root) {
  if (const int failed = platform::FlushFileSystem(root))
    return {SyncFailure(root, failed)};
  return {};
}

Problems SyncEntry(const std::string& path) {
  if (const int failed = SyncFolder(path))
    return {SyncFailure(path, failed)};
  return {};
}

bool EntryExists(const std::string& path) {
  error_code error;
  return fs::symlink_status(path, error).type() != fs::file_not_found;
}

Problems RemoveTree(const std::string& path) {
  error_code error;
  fs::remove_all(path, error);
  if (error == boost::system::errc::permission_denied) {
    // Read-only folders inside a bundle: the tree is ours to remove, so open it and retry.
    OpenFolders(path);
    error.clear();
    fs::remove_all(path, error);
  }
  if (error)
    return {Failure("remove " + Quoted(path), error)};
  return {};
}

Problems RemoveEntry(const std::string& path) {
  error_code error;
  fs::remove(path, error);
  if (error)
    return {Failure("remove " + Quoted(path), error)};
  return {};
}

Problems MergeExtras(const std::string& from, const std::string& to,
                     const std::set<std::string>& skip, bool apply) {
  Problems problems;
  Merge(from, to, &skip, apply, problems);
  return problems;
}

} // namespace orvanta::agent
