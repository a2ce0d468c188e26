// Orvanta common utility library: free functions for text and path conversion, URL and form
// encoding, JSON value coercion, identifiers and MIME types, file-type detection, file-system
// queries, launching, and network and host information.
//
// Conventions, stated once:
//  - Narrow strings (std::string) hold UTF-8; wide strings (std::wstring) hold one code point per
//    element. Conversions between them drop invalid input and never fail. A wide path that goes to
//    the file system is not converted so: one holding an element that is no Unicode scalar value
//    (a surrogate D800-DFFF, a value above 10FFFF) before its first NUL names no file, and the
//    function answers negatively (false, empty, an unchanged count). Pure text functions
//    (AppendPath, AppendPathToString, GetMimeType) keep dropping such elements.
//  - Failures are answered by results, never by exceptions: false, -1, 0, an empty string or
//    container, or a documented default ("application/octet-stream", the JSON coercions' default).
//    The only exceptions that leave the library are named at the function: filesystem_error from
//    GetFileCount and LaunchApplication, Boost.Uuid's entropy error from CreateUUIDString,
//    CreateUUIDWideString and IsWritable, and std::bad_alloc.
//  - Arguments are never changed except the documented outputs (GetFileTimes, GetFileCount,
//    CopyJsonValue). URLEncode and URLDecode return malloc'd buffers: the caller frees them.
//  - Threads: every function may be called from several threads at once. Arguments that are only
//    read (texts, JSON values, Core Foundation strings) may be shared between the calls; outputs
//    may not (GetFileTimes' times, GetFileCount's count, CopyJsonValue's destination and
//    allocator). The exceptions are the platform's: POSIX lets no thread change the environment
//    (setenv, putenv, unsetenv) or the C locale (setlocale) while another runs, so neither may
//    change during any call (GetHomeDir reads the environment each time, GIO and ICU on first use,
//    and launching hands it on); and while CheckTcpPort probes a port, another call for that port
//    may answer false, as any other bind of the port would make it. Descriptors that a function
//    opens for itself are closed on exec: a program another thread starts inherits none.
#ifndef ORVANTA_UTILS_H
#define ORVANTA_UTILS_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem/exception.hpp> // filesystem_error, which some functions let through
#include <boost/filesystem/path.hpp>
#include <rapidjson/document.h>

// ORVANTA_UTILS_API marks what the shared library exports (every declaration below); the
// ORVANTA_UTILS_VERSION_MAJOR, _MINOR and _PATCH macros give the version of these headers.
#include <orvanta/UtilsExport.h>
#include <orvanta/UtilsVersion.h>

// Quoted and relative to this header, so it is found beside it both in the sources and when
// installed as <orvanta/Utils.h>.
#ifdef __APPLE__
#include <CoreFoundation/CoreFoundation.h>
#else
#include "platform/CoreFoundation.h"
#endif

// --- Text conversion and path joining -----------------------------------------------------------
// Joins two pieces with one "/" unless either side already has one at the seam; an empty piece
// yields the other unchanged. An absolute second piece is still appended below the first.
// Every overload that converts text converts it only up to its first NUL.
//   AppendPathToString("/Applications/ORVANTA-EX/", "orvantaes.app")
//     == "/Applications/ORVANTA-EX/orvantaes.app"
ORVANTA_UTILS_API std::string AppendPathToString(std::string first, std::string second);
ORVANTA_UTILS_API std::string AppendPathToString(std::wstring first, std::wstring second);
ORVANTA_UTILS_API std::string AppendPathToString(std::wstring first, std::string second);
ORVANTA_UTILS_API std::string AppendPathToString(std::string first, std::wstring second);
ORVANTA_UTILS_API std::wstring AppendPath(std::wstring first, std::wstring second);
ORVANTA_UTILS_API std::wstring AppendPath(std::wstring first, std::string second);
ORVANTA_UTILS_API std::wstring AppendPath(std::string first, std::string second);
ORVANTA_UTILS_API std::wstring AppendPath(std::string first, std::wstring second);

// The folder part of a path, separator included: up to the last backslash if there is one, else
// up to the last "/", else empty.  ExtractFilePath(L"C:\\dir/sub/file") == L"C:\\"
ORVANTA_UTILS_API std::wstring ExtractFilePath(std::wstring path);

// A copy of the path with every backslash replaced by "/".
ORVANTA_UTILS_API std::wstring ConvertFilePath(std::wstring path);

// --- String and host-string helpers -------------------------------------------------------------
// The Core Foundation string as UTF-8 / wide text; empty when it cannot be converted.
ORVANTA_UTILS_API std::string CFStringRefToUTF8(CFStringRef string);
ORVANTA_UTILS_API std::wstring CFStringRefToWide(CFStringRef string);

// The UTF-8 text (up to its first NUL) in Unicode normalisation form C; empty for invalid UTF-8.
ORVANTA_UTILS_API std::string NfdToNfc(std::string text);

// The first of HOME, HOMEDRIVE, HOMEPATH that is set and not empty; empty when none is.
ORVANTA_UTILS_API std::string GetHomeDir();

// Always empty on this platform; the reference arguments are left unchanged.
ORVANTA_UTILS_API std::wstring GetUniversalName(std::wstring path, std::wstring& first,
                                                std::wstring& second);

// Interleaves the bytes of two strings, then appends the rest of the longer one.
//   MixString("abc", "12345") == "a1b2c345"
ORVANTA_UTILS_API std::string MixString(std::string first, std::string second);

// Cuts the text at every occurrence of the whole delimiter; empty elements stay. Always one
// element more than the occurrences found; an empty delimiter gives the whole text alone.
//   Split(L"a,,b,", L",") == {L"a", L"", L"b", L""}
ORVANTA_UTILS_API std::vector<std::wstring> Split(std::wstring text, std::wstring delimiter);

// --- URL and form encoding ----------------------------------------------------------------------
// Byte-level percent-encoding; the safe set is A-Z, a-z, 0-9, "@" and ".". The returned buffers
// come from malloc and belong to the caller, who releases them with free().
// The number of "%" bytes.
ORVANTA_UTILS_API int numOfPercent(const char* text);
// The number of bytes URLEncode escapes.
ORVANTA_UTILS_API int numOfEncodingChar(const char* text);
// Every unsafe byte as "%XX" (upper-case hex).
ORVANTA_UTILS_API char* URLEncode(const char* text);
// "%XX" decoded; malformed escapes dropped; "+" kept.
ORVANTA_UTILS_API char* URLDecode(const char* text);

// Escapes space # $ % & + @ ^ as %XX; every other character passes unchanged.
ORVANTA_UTILS_API std::wstring PostDataEncode(std::wstring text);

// --- JSON value coercion ------------------------------------------------------------------------
// Trees of any depth (as deep as RapidJSON's iterative parser builds them) are read, written and
// copied without recursion, so depth never exhausts the caller's stack. Values of these
// pool-allocated types are also destroyed without walking their tree (the pool frees nothing per
// value), so the caller's deep documents are safe to destroy; a tree on RapidJSON's CrtAllocator
// instead would be destroyed recursively, one call per level, by RapidJSON itself.
using OrvantaJsonAllocator = rapidjson::MemoryPoolAllocator<rapidjson::CrtAllocator>;
// The UTF-8 value type and the wide value type that the coercions read.
using OrvantaJsonValue = rapidjson::GenericValue<rapidjson::UTF8<char>, OrvantaJsonAllocator>;
using OrvantaJsonWValue = rapidjson::GenericValue<rapidjson::UTF16<wchar_t>, OrvantaJsonAllocator>;

// Each coercion returns the value converted to its result type, or the default when the value's
// JSON type is not accepted or its text does not convert. Strings are read up to their first NUL;
// an object gives its compact JSON text (doubles as "%.22f"). They never throw a conversion error.
ORVANTA_UTILS_API std::string JsonValueToString(const OrvantaJsonValue& value,
                                                std::string defaultValue = "");
ORVANTA_UTILS_API std::string JsonValueToString(const OrvantaJsonWValue& value,
                                                std::string defaultValue = "");
ORVANTA_UTILS_API std::wstring JsonValueToWideString(const OrvantaJsonValue& value,
                                                     std::wstring defaultValue = L"");
ORVANTA_UTILS_API std::wstring JsonValueToWideString(const OrvantaJsonWValue& value,
                                                     std::wstring defaultValue = L"");
ORVANTA_UTILS_API int JsonValueToInt(const OrvantaJsonValue& value, int defaultValue = 0);
ORVANTA_UTILS_API int JsonValueToInt(const OrvantaJsonWValue& value, int defaultValue = 0);
ORVANTA_UTILS_API long JsonValueToLong(const OrvantaJsonValue& value, long defaultValue = 0);
ORVANTA_UTILS_API long JsonValueToLong(const OrvantaJsonWValue& value, long defaultValue = 0);
ORVANTA_UTILS_API intmax_t JsonValueToIntmax_t(const OrvantaJsonValue& value,
                                               intmax_t defaultValue = 0);
ORVANTA_UTILS_API intmax_t JsonValueToIntmax_t(const OrvantaJsonWValue& value,
                                               intmax_t defaultValue = 0);
ORVANTA_UTILS_API uintmax_t JsonValueToUIntmax_t(const OrvantaJsonValue& value,
                                                 uintmax_t defaultValue = 0);
ORVANTA_UTILS_API uintmax_t JsonValueToUIntmax_t(const OrvantaJsonWValue& value,
                                                 uintmax_t defaultValue = 0);
ORVANTA_UTILS_API float JsonValueToFloat(const OrvantaJsonValue& value, float defaultValue = 0.0f);
ORVANTA_UTILS_API float JsonValueToFloat(const OrvantaJsonWValue& value, float defaultValue = 0.0f);
ORVANTA_UTILS_API bool JsonValueToBool(const OrvantaJsonValue& value, bool defaultValue = false);
ORVANTA_UTILS_API bool JsonValueToBool(const OrvantaJsonWValue& value, bool defaultValue = false);

// Deep copy of source into destination; every block of the copy comes from allocator (the
// destination document's pool), so the copy outlives the source's document.
ORVANTA_UTILS_API void CopyJsonValue(OrvantaJsonWValue& destination,
                                     const OrvantaJsonWValue& source,
                                     OrvantaJsonAllocator& allocator);

// --- Identifiers and MIME types -----------------------------------------------------------------
// A fresh random (version 4) UUID as 36 lower-case characters. Boost.Uuid's entropy error
// reaches the caller when /dev/urandom cannot be read.
ORVANTA_UTILS_API std::string CreateUUIDString();
ORVANTA_UTILS_API std::wstring CreateUUIDWideString();

// The MIME type that the type database gives the path's extension; "application/octet-stream"
// for hidden names, names without an extension and unknown extensions. Never empty. On Linux the
// database is shared-mime-info's "*.EXT" patterns: the heaviest matching pattern wins, whether
// it is case-sensitive (matching the extension's own letters) or not (matching in any case); a
// tie of equal weights goes to GIO's guess for the name "x.EXT" when that is one of the tied
// types, else to the tied pattern read first.
ORVANTA_UTILS_API std::string GetMimeType(std::string path);
ORVANTA_UTILS_API std::string GetMimeType(std::wstring path);

// --- File type detection ------------------------------------------------------------------------
// The path's status (following links) decides first: nothing but a regular file is ever opened,
// so a FIFO, device or folder sees no open at all; the open never blocks, and a path swapped for
// something else before it is judged again on the descriptor and never read.
// The first 576 bytes of a regular file as 1152 lower-case hex digits (zero-padded for short
// files); empty for anything that is not a readable regular file.
ORVANTA_UTILS_API std::wstring GetFileSignature(std::wstring path);
// True when a regular file starts like a BMP, GIF, TIFF, PNG or JPEG image.
ORVANTA_UTILS_API bool IsImageFile(std::string path);
ORVANTA_UTILS_API bool IsImageFile(std::wstring path);
// True when a regular file starts with "%PDF-".
ORVANTA_UTILS_API bool IsPdf(std::string path);
ORVANTA_UTILS_API bool IsPdf(std::wstring path);

// --- File system queries ------------------------------------------------------------------------
// The child's path relative to the parent in composed form; empty when the child is the parent
// or lies outside it.
ORVANTA_UTILS_API std::wstring GetSubDirectory(boost::filesystem::path parent,
                                               boost::filesystem::path child);

// The path's own (lstat) change, modification and access times in whole seconds; any pointer may
// be null. False, with nothing written, when the path does not exist or cannot be read.
ORVANTA_UTILS_API bool GetFileTimes(std::string path, long* changeTime, long* modifyTime,
                                    long* accessTime);
ORVANTA_UTILS_API bool GetFileTimes(std::wstring path, long* changeTime, long* modifyTime,
                                    long* accessTime);

// Adds the number of regular files below path (links to files count; linked folders are not
// entered) to count. A missing path adds nothing. Throws boost::filesystem::filesystem_error
// when the walk fails; count then holds what was added so far.
ORVANTA_UTILS_API void GetFileCount(std::wstring path, int& count);

// Whether this process can read / write the file or directory. IsWritable probes a directory by
// creating and removing a uniquely named file.
ORVANTA_UTILS_API bool IsReadable(std::wstring path);
ORVANTA_UTILS_API bool IsWritable(std::wstring path);

// --- Launching files and applications -----------------------------------------------------------
// {application, file} for the default application of the file's extension, or empty.
ORVANTA_UTILS_API std::vector<std::string> GetExecuteCommand(std::wstring path);
// Asks the system to open command[0] with the remaining elements as items; true when the request
// was accepted. Throws boost::filesystem::filesystem_error when an item's status cannot be read.
ORVANTA_UTILS_API bool LaunchApplication(std::vector<std::string> command);
// Opens an existing file with its default application; the flag has no effect.
ORVANTA_UTILS_API bool ExecuteFile(std::wstring path, bool flag);
// Always false.
ORVANTA_UTILS_API bool IsOpenAnotherProcess(std::wstring path);

// --- Network and host information ---------------------------------------------------------------
// The first non-loopback IPv4 address of the host's interfaces, dotted; empty when none.
ORVANTA_UTILS_API std::wstring GetLocalIP();
// Every non-loopback IPv4 address of the host's interfaces.
ORVANTA_UTILS_API std::set<std::wstring> GetLocalIpList();
// The hardware address ("0A:1B:2C:3D:4E:5F") of the last interface with a non-loopback IPv4
// address, or of the interface carrying exactly that address; empty when none.
ORVANTA_UTILS_API std::wstring GetLocalMAC();
ORVANTA_UTILS_API std::wstring GetLocalMAC(std::wstring address);
// True when a TCP socket can be bound to the port (decimal text; low 16 bits used) on any address.
ORVANTA_UTILS_API bool CheckTcpPort(std::string port);
// Always empty.
ORVANTA_UTILS_API std::wstring GetUserNameFromPort(int port);
// Always 0.
ORVANTA_UTILS_API int64_t GetFreeMemory();
// The processor's model name; empty (after a perror("sysctl") line) when it cannot be read.
ORVANTA_UTILS_API std::string GetCpuModel();

#endif // ORVANTA_UTILS_H
