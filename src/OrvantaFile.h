// COrvantaFile: a thin owner of one POSIX file descriptor and the wide path it was opened with.
// No buffering, no locking, no encoding detection. Every failure is a result (false, -1, empty),
// never an exception, and errno stays as the failing system call set it. Destruction does not
// close the descriptor: callers close explicitly with Close().
// Threads: an object is used by one thread at a time, like any descriptor owner; distinct
// objects, even on one file, may be used from several threads at once. The descriptor is opened
// with the caller's flags alone: add O_CLOEXEC where another thread may start programs.
#ifndef ORVANTA_ORVANTAFILE_H
#define ORVANTA_ORVANTAFILE_H

#include <cstdint>
#include <string>

#include <orvanta/UtilsExport.h>

class ORVANTA_UTILS_API COrvantaFile {
public:
  COrvantaFile();
  // Opens path with the open(2) flags given (mode 0777 less the umask); closed on failure.
  COrvantaFile(std::string path, int flags);
  COrvantaFile(std::wstring path, int flags);

  // Stores the path (even when the open fails), then opens it. An object that is already open
  // closes its old descriptor first. A wide path holding an element that is no Unicode scalar
  // value (a surrogate, a value above 10FFFF) names no file: false, with errno EILSEQ.
  bool Open(std::string path, int flags);
  bool Open(std::wstring path, int flags);
  bool IsOpen();

  // lseek with the origin passed through (SEEK_SET, SEEK_CUR, SEEK_END); the new position or -1.
  int64_t Seek(uint64_t offset, int origin);
  // Makes the file exactly size bytes long and leaves the position at its end.
  bool Truncate(uint64_t size);
  // One read(2) call of at most INT_MAX bytes: bytes read, 0 at end of file, -1 on failure, when
  // closed or for a null buffer.
  int Read(void* buffer, uint64_t size);
  // Every byte from the current position to the end (zero bytes included).
  std::string ReadToString();
  // The bytes from the current position up to the first zero byte, decoded as UTF-8.
  std::wstring ReadToWstring();
  // One write(2) call of at most INT_MAX bytes: bytes written, 0 for size 0, -1 on failure, when
  // closed or for null data.
  int Write(const void* data, uint64_t size);
  // Writes the whole text (wide text as UTF-8, up to its first NUL, no byte-order mark).
  bool Write(std::string text);
  bool Write(std::wstring text);
  // Closes the descriptor; false when not open or when close(2) fails. Either way the object is
  // closed afterwards (the system releases the descriptor even when close reports an error).
  bool Close();
  std::wstring GetFilePath();

private:
  int32_t m_fd;
  std::wstring m_path;
};

#endif // ORVANTA_ORVANTAFILE_H
