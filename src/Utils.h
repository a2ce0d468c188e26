// Orvanta common utility library: free functions for text and path conversion, URL and form
// encoding, JSON value coercion, identifiers and MIME types, file-type detection, file-system
// queries, launching, and network and host information.
//
// Conventions, stated once:
//  - Narrow strings (std::string) hold UTF-8; wide strings (std::wstring) hold one code point per
//    element. Conversions between them drop invalid input and never fail.
//  - Failures are answered by results, never by exceptions: false, -1, 0, an empty string or
//    container, or a documented default ("application/octet-stream", the JSON coercions' default).
//    The only exceptions that leave the library are named at the function: filesystem_error from
//    GetFileCount and LaunchApplication, Boost.Uuid's entropy error from CreateUUIDString,
//    CreateUUIDWideString and IsWritable, and std::bad_alloc.
//  - Arguments are never changed except the documented outputs (GetFileTimes, GetFileCount,
//    CopyJsonValue). URLEncode and URLDecode return malloc'd buffers: the caller frees them.
#ifndef ORVANTA_UTILS_H
#define ORVANTA_UTILS_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem/exception.hpp> // filesystem_error, which some functions let through
#include <boost/filesystem/path.hpp>
#include <rapidjson/document.h>

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
std::string AppendPathToString(std::string first, std::string second);
std::string AppendPathToString(std::wstring first, std::wstring second);
std::string AppendPathToString(std::wstring first, std::string second);
std::string AppendPathToString(std::string first, std::wstring second);
std::wstring AppendPath(std::wstring first, std::wstring second);
std::wstring AppendPath(std::wstring first, std::string second);
std::wstring AppendPath(std::string first, std::string second);
std::wstring AppendPath(std::string first, std::wstring second);

// The folder part of a path, separator included: up to the last backslash if there is one, else
// up to the last "/", else empty.  ExtractFilePath(L"C:\\dir/sub/file") == L"C:\\"
std::wstring ExtractFilePath(std::wstring path);

// A copy of the path with every backslash replaced by "/".
std::wstring ConvertFilePath(std::wstring path);

// --- String and host-string helpers -------------------------------------------------------------
// The Core Foundation string as UTF-8 / wide text; empty when it cannot be converted.
std::string CFStringRefToUTF8(CFStringRef string);
std::wstring CFStringRefToWide(CFStringRef string);

// The UTF-8 text (up to its first NUL) in Unicode normalisation form C; empty for invalid UTF-8.
std::string NfdToNfc(std::string text);

// The first of HOME, HOMEDRIVE, HOMEPATH that is set and not empty; empty when none is.
std::string GetHomeDir();

// Always empty on this platform; the reference arguments are left unchanged.
std::wstring GetUniversalName(std::wstring path, std::wstring& first, std::wstring& second);

// Interleaves the bytes of two strings, then appends the rest of the longer one.
//   MixString("abc", "12345") == "a1b2c345"
std::string MixString(std::string first, std::string second);

// Cuts the text at every occurrence of the whole delimiter; empty elements stay. Always one
// element more than the occurrences found; an empty delimiter gives the whole text alone.
//   Split(L"a,,b,", L",") == {L"a", L"", L"b", L""}
std::vector<std::wstring> Split(std::wstring text, std::wstring delimiter);

// --- URL and form encoding ----------------------------------------------------------------------
// Byte-level percent-encoding; the safe set is A-Z, a-z, 0-9, "@" and ".". The returned buffers
// come from malloc and belong to the caller, who releases them with free().
int numOfPercent(const char* text);      // number of "%" bytes
int numOfEncodingChar(const char* text); // number of bytes URLEncode escapes
char* URLEncode(const char* text);       // every unsafe byte as "%XX" (upper-case hex)
char* URLDecode(const char* text);       // "%XX" decoded; malformed escapes dropped; "+" kept

// Escapes space # $ % & + @ ^ as %XX; every other character passes unchanged.
std::wstring PostDataEncode(std::wstring text);

// --- JSON value coercion ------------------------------------------------------------------------
using OrvantaJsonAllocator = rapidjson::MemoryPoolAllocator<rapidjson::CrtAllocator>;
// The UTF-8 value type and the wide value type that the coercions read.
using OrvantaJsonValue = rapidjson::GenericValue<rapidjson::UTF8<char>, OrvantaJsonAllocator>;
using OrvantaJsonWValue = rapidjson::GenericValue<rapidjson::UTF16<wchar_t>, OrvantaJsonAllocator>;

// Each coercion returns the value converted to its result type, or the default when the value's
// JSON type is not accepted or its text does not convert. Strings are read up to their first NUL;
// an object gives its compact JSON text (doubles as "%.22f"). They never throw a conversion error.
std::string JsonValueToString(const OrvantaJsonValue& value, std::string defaultValue = "");
std::string JsonValueToString(const OrvantaJsonWValue& value, std::string defaultValue = "");
std::wstring JsonValueToWideString(const OrvantaJsonValue& value, std::wstring defaultValue = L"");
std::wstring JsonValueToWideString(const OrvantaJsonWValue& value, std::wstring defaultValue = L"");
int JsonValueToInt(const OrvantaJsonValue& value, int defaultValue = 0);
int JsonValueToInt(const OrvantaJsonWValue& value, int defaultValue = 0);
long JsonValueToLong(const OrvantaJsonValue& value, long defaultValue = 0);
long JsonValueToLong(const OrvantaJsonWValue& value, long defaultValue = 0);
intmax_t JsonValueToIntmax_t(const OrvantaJsonValue& value, intmax_t defaultValue = 0);
intmax_t JsonValueToIntmax_t(const OrvantaJsonWValue& value, intmax_t defaultValue = 0);
uintmax_t JsonValueToUIntmax_t(const OrvantaJsonValue& value, uintmax_t defaultValue = 0);
uintmax_t JsonValueToUIntmax_t(const OrvantaJsonWValue& value, uintmax_t defaultValue = 0);
float JsonValueToFloat(const OrvantaJsonValue& value, float defaultValue = 0.0f);
float JsonValueToFloat(const OrvantaJsonWValue& value, float defaultValue = 0.0f);
bool JsonValueToBool(const OrvantaJsonValue& value, bool defaultValue = false);
bool JsonValueToBool(const OrvantaJsonWValue& value, bool defaultValue = false);

// Deep copy of source into destination; every block of the copy comes from allocator (the
// destination document's pool), so the copy outlives the source's document.
void CopyJsonValue(OrvantaJsonWValue& destination, const OrvantaJsonWValue& source,
                   OrvantaJsonAllocator& allocator);

// --- Identifiers and MIME types -----------------------------------------------------------------
// A fresh random (version 4) UUID as 36 lower-case characters. Boost.Uuid's entropy error
// reaches the caller when /dev/urandom cannot be read.
std::string CreateUUIDString();
std::wstring CreateUUIDWideString();

// The MIME type that the type database gives the path's extension; "application/octet-stream"
// for hidden names, names without an extension and unknown extensions. Never empty. On Linux the
// database is shared-mime-info's "*.EXT" patterns: the heaviest matching pattern wins, whether
// it is case-sensitive (matching the extension's own letters) or not (matching in any case); a
// tie of equal weights goes to GIO's guess for the name "x.EXT" when that is one of the tied
// types, else to the tied pattern read first.
std::string GetMimeType(std::string path);
std::string GetMimeType(std::wstring path);

// --- File type detection ------------------------------------------------------------------------
// The first 576 bytes of a regular file as 1152 lower-case hex digits (zero-padded for short
// files); empty for anything that is not a readable regular file.
std::wstring GetFileSignature(std::wstring path);
// True when a regular file starts like a BMP, GIF, TIFF, PNG or JPEG image.
bool IsImageFile(std::string path);
bool IsImageFile(std::wstring path);
// True when a regular file starts with "%PDF-".
bool IsPdf(std::string path);
bool IsPdf(std::wstring path);

// --- File system queries ------------------------------------------------------------------------
// The child's path relative to the parent in composed form; empty when the child is the parent
// or lies outside it.
std::wstring GetSubDirectory(boost::filesystem::path parent, boost::filesystem::path child);

// The path's own (lstat) change, modification and access times in whole seconds; any pointer may
// be null. False, with nothing written, when the path does not exist or cannot be read.
bool GetFileTimes(std::string path, long* changeTime, long* modifyTime, long* accessTime);
bool GetFileTimes(std::wstring path, long* changeTime, long* modifyTime, long* accessTime);

// Adds the number of regular files below path (links to files count; linked folders are not
// entered) to count. A missing path adds nothing. Throws boost::filesystem::filesystem_error
// when the walk fails; count then holds what was added so far.
void GetFileCount(std::wstring path, int& count);

// Whether this process can read / write the file or directory. IsWritable probes a directory by
// creating and removing a uniquely named file.
bool IsReadable(std::wstring path);
bool IsWritable(std::wstring path);

// --- Launching files and applications -----------------------------------------------------------
// {application, file} for the default application of the file's extension, or empty.
std::vector<std::string> GetExecuteCommand(std::wstring path);
// Asks the system to open command[0] with the remaining elements as items; true when the request
// was accepted. Throws boost::filesystem::filesystem_error when an item's status cannot be read.
bool LaunchApplication(std::vector<std::string> command);
// Opens an existing file with its default application; the flag has no effect.
bool ExecuteFile(std::wstring path, bool flag);
// Always false.
bool IsOpenAnotherProcess(std::wstring path);

// --- Network and host information ---------------------------------------------------------------
// The first non-loopback IPv4 address of the host's interfaces, dotted; empty when none.
std::wstring GetLocalIP();
// Every non-loopback IPv4 address of the host's interfaces.
std::set<std::wstring> GetLocalIpList();
// The hardware address ("0A:1B:2C:3D:4E:5F") of the last interface with a non-loopback IPv4
// address, or of the interface carrying exactly that address; empty when none.
std::wstring GetLocalMAC();
std::wstring GetLocalMAC(std::wstring address);
// True when a TCP socket can be bound to the port (decimal text; low 16 bits used) on any address.
bool CheckTcpPort(std::string port);
// Always empty.
std::wstring GetUserNameFromPort(int port);
// Always 0.
int64_t GetFreeMemory();
// The processor's model name; empty (after a perror("sysctl") line) when it cannot be read.
std::string GetCpuModel();

#endif // ORVANTA_UTILS_H
