// Writes zip archives entry by entry, so that tests can build what the zip tool refuses to make:
// "../" and absolute entry names, links to anywhere, a bundle that is a plain file, an empty
// archive, an entry whose checksum is wrong. The same entries can be laid out on disk, so that
// an installed bundle and the archive of its successor come from one description.
// Header-only; entries are stored uncompressed with Unix modes, as unzip restores them.
#ifndef ORVANTA_TESTS_ZIPWRITER_H
#define ORVANTA_TESTS_ZIPWRITER_H

#include "TestSupport.h"

#include <boost/crc.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvanta::test {

struct ZipEntry {
  enum Kind { File, Folder, Link };
  std::string name; // as stored; a folder's name gets its trailing "/" when written
  std::string data; // a file's content, a link's target
  Kind kind = File;
  int mode = 0; // permission bits; 0 means 0644 for files, 0755 for folders, 0777 for links
  bool badChecksum = false;
};

inline ZipEntry ZipFolder(const std::string& name, int mode = 0) {
  return {name, "", ZipEntry::Folder, mode, false};
}
inline ZipEntry ZipFile(const std::string& name, const std::string& data, int mode = 0) {
  return {name, data, ZipEntry::File, mode, false};
}
inline ZipEntry ZipLink(const std::string& name, const std::string& target) {
  return {name, target, ZipEntry::Link, 0, false};
}

namespace detail {

inline void Put16(std::string& out, unsigned value) {
  out += static_cast<char>(value & 0xff);
  out += static_cast<char>((value >> 8) & 0xff);
}
inline void Put32(std::string& out, uint32_t value) {
  Put16(out, value & 0xffff);
  Put16(out, value >> 16);
}

inline int ModeOf(const ZipEntry& entry) {
  switch (entry.kind) {
  case ZipEntry::Folder:
    return S_IFDIR | (entry.mode != 0 ? entry.mode : 0755);
  case ZipEntry::Link:
    return S_IFLNK | (entry.mode != 0 ? entry.mode : 0777);
  case ZipEntry::File:
    break;
  }
  return S_IFREG | (entry.mode != 0 ? entry.mode : 0644);
}

} // namespace detail

// The archive's bytes: local headers with the data, the central directory, its end record.
inline std::string ZipBytes(const std::vector<ZipEntry>& entries) {
  using detail::Put16;
  using detail::Put32;
  constexpr unsigned kVersion = 10, kMadeOnUnix = (3u << 8) | 30u;
  constexpr unsigned kDate = ((2020 - 1980) << 9) | (1 << 5) | 1, kTime = 0;
  constexpr uint32_t kMsDosFolder = 0x10;
  std::string archive, directory;
  for (const ZipEntry& entry : entries) {
    const std::string name =
        entry.kind == ZipEntry::Folder && entry.name.back() != '/' ? entry.name + "/" : entry.name;
    boost::crc_32_type crc;
    crc.process_bytes(entry.data.data(), entry.data.size());
    const uint32_t checksum = crc.checksum() ^ (entry.badChecksum ? 1u : 0u);
    const auto size = static_cast<uint32_t>(entry.data.size());
    const auto offset = static_cast<uint32_t>(archive.size());

    Put32(archive, 0x04034b50);
    Put16(archive, kVersion);
    Put16(archive, 0); // flags
    Put16(archive, 0); // stored
    Put16(archive, kTime);
    Put16(archive, kDate);
    Put32(archive, checksum);
    Put32(archive, size);
    Put32(archive, size);
    Put16(archive, static_cast<unsigned>(name.size()));
    Put16(archive, 0); // no extra field
    archive += name;
    archive += entry.data;

    Put32(directory, 0x02014b50);
    Put16(directory, kMadeOnUnix);
    Put16(directory, kVersion);
    Put16(directory, 0);
    Put16(directory, 0);
    Put16(directory, kTime);
    Put16(directory, kDate);
    Put32(directory, checksum);
    Put32(directory, size);
    Put32(directory, size);
    Put16(directory, static_cast<unsigned>(name.size()));
    Put16(directory, 0); // extra
    Put16(directory, 0); // comment
    Put16(directory, 0); // disk
    Put16(directory, 0); // internal attributes
    Put32(directory, (static_cast<uint32_t>(detail::ModeOf(entry)) << 16) |
                         (entry.kind == ZipEntry::Folder ? kMsDosFolder : 0));
    Put32(directory, offset);
    directory += name;
  }
  const auto directoryOffset = static_cast<uint32_t>(archive.size());
  archive += directory;
  Put32(archive, 0x06054b50);
  Put16(archive, 0);
  Put16(archive, 0);
  Put16(archive, static_cast<unsigned>(entries.size()));
  Put16(archive, static_cast<unsigned>(entries.size()));
  Put32(archive, static_cast<uint32_t>(directory.size()));
  Put32(archive, directoryOffset);
  Put16(archive, 0); // no comment
  return archive;
}

inline void WriteZip(const std::string& path, const std::vector<ZipEntry>& entries) {
  WriteFile(path, ZipBytes(entries));
}

// Lays the entries out below root as unzip would (modes included; a folder's mode is set after
// everything below it has been written).
inline void Materialize(const std::string& root, const std::vector<ZipEntry>& entries) {
  namespace stdfs = std::filesystem;
  std::vector<std::pair<std::string, int>> folderModes;
  for (const ZipEntry& entry : entries) {
    const stdfs::path path = stdfs::path(root) / entry.name;
    stdfs::create_directories(entry.kind == ZipEntry::Folder ? path : path.parent_path());
    if (entry.kind == ZipEntry::File) {
      WriteFile(path.string(), entry.data, detail::ModeOf(entry) & 07777);
    } else if (entry.kind == ZipEntry::Link) {
      if (symlink(entry.data.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot link " + path.string());
    } else {
      folderModes.emplace_back(path.string(), detail::ModeOf(entry) & 07777);
    }
  }
  for (auto it = folderModes.rbegin(); it != folderModes.rend(); ++it)
    chmod(it->first.c_str(), static_cast<mode_t>(it->second));
}

} // namespace orvanta::test

#endif // ORVANTA_TESTS_ZIPWRITER_H
