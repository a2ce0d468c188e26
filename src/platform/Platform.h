// The one seam between the library and the operating system's services that differ between
// platforms: the process list, the type database, application launching, the interface listing
// and the processor's name. Callers include this header only and never test the platform
// themselves; each platform supplies its own implementation folder (linux/ here).
#ifndef ORVANTA_PLATFORM_PLATFORM_H
#define ORVANTA_PLATFORM_PLATFORM_H

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::platform {

// --- Processes ---------------------------------------------------------------------------------
// Walks the caller's running processes (those whose real uid is the caller's real uid; exited
// but unreaped ones excluded) and calls matches() with each process's short name until it
// returns true. Returns true when a running process of the caller's matched; false when none
// did, and also when the process list cannot be read. Unreadable entries are skipped. Another
// user's processes never count, as they are not in the caller's session.
bool AnyProcess(const std::function<bool(std::string_view name)>& matches);

// --- File system -------------------------------------------------------------------------------
// Makes everything written so far to the file system that holds path (a folder) durable, in one
// flush. Returns 0, or the errno of the call that failed.
int FlushFileSystem(const std::string& path);

// --- Type database -----------------------------------------------------------------------------
// The MIME type that the type database prefers for a file name extension (without its dot);
// empty when the database does not know the extension. The database is read on the first call.
std::string MimeTypeForExtension(std::string_view extension);

// --- Applications ------------------------------------------------------------------------------
// The path of the default application for files with this extension (without its dot); empty
// when there is none or the extension is empty.
std::string DefaultApplicationForExtension(const std::string& extension);
// Whether an application can be loaded from this path.
bool IsApplication(const std::string& applicationPath);
// The URI of an existing file or directory (a relative path is taken from the working folder);
// a directory's URI ends in "/". Empty when no URI can be made of the path.
std::string FileUri(const std::string& path, bool isDirectory);
// The text itself when it is a well-formed absolute URI (a web address, say); empty otherwise.
std::string TextUri(const std::string& text);
// Hands one open request to the system: the application with the items (URIs). True when the
// request was accepted; does not wait for the application.
bool OpenWithApplication(const std::string& applicationPath, const std::vector<std::string>& uris);

// --- Network interfaces ------------------------------------------------------------------------
struct InterfaceRecord {
  std::string name;     // interface name
  int family = 0;       // address family of the record (AF_INET for IPv4)
  uint32_t address = 0; // IPv4 address in network byte order (AF_INET records only)
};
// The kernel's listing of interface addresses (at most what fits 3200 bytes of records), in the
// kernel's order; nullopt when the listing cannot be obtained.
std::optional<std::vector<InterfaceRecord>> ListInterfaces();
// The six-byte link-layer address of the named interface (its first six bytes, whatever the
// address's length); nullopt when the interface has no index or its address cannot be read.
std::optional<std::array<uint8_t, 6>> HardwareAddress(const std::string& interfaceName);

// --- Host --------------------------------------------------------------------------------------
// The processor's model name. nullopt, with errno set, when it cannot be read.
std::optional<std::string> CpuModelName();

// --- System log --------------------------------------------------------------------------------
// How much a record matters, as the system log ranks it.
enum class EventLevel { kError, kWarning, kNotice, kInfo };

// Names this process's records in the system log ("orvanta-update", say) for the rest of the
// process; each record also carries the process id. Without it, records carry the program's
// file name. Connects to nothing yet.
void OpenEventLog(const std::string& ident);

// Writes one record (one line of text) to the system log. Never fails, never waits and never
// raises a signal: when no log service listens, or it has stopped reading, the record is dropped
// and the call returns at once. A text too long for one record is cut. Thread-safe; not for
// signal handlers.
// Linux: a syslog(3) record (facility user) sent to /dev/log without waiting, read by the journal
// or a syslog daemon; a missing socket is tried again at most once a second. A macOS backend
// writes os_log_with_type(os_log_create("com.orvanta.agent", ident), type, "%{public}s", text),
// kError as OS_LOG_TYPE_ERROR and the others as OS_LOG_TYPE_DEFAULT, which the unified log keeps.
void RecordEvent(EventLevel level, std::string_view text);

} // namespace orvanta::platform

#endif // ORVANTA_PLATFORM_PLATFORM_H
