// Every file operation of the program goes through this interface, so that tests can make any
// single operation fail. The real implementation is the only place that knows the platform.
#ifndef DORNVIK_FILESYS_H_
#define DORNVIK_FILESYS_H_

#include <cstddef>
#include <cstdint>
#include <memory>

// An open file. Bytes are read and written as they are: no line-end translation happens here.
class File {
 public:
  virtual ~File() = default;
  // Reads up to `n` bytes; `*got` is 0 at the end of the file. False on a read error.
  virtual bool Read(char* buffer, std::size_t n, std::size_t* got) = 0;
  // Appends `n` bytes (the real file may buffer them until Flush).
  virtual bool Write(const char* data, std::size_t n) = 0;
  // Hands buffered bytes to the operating system.
  virtual bool Flush() = 0;
  // Flushes and makes the file's content durable.
  virtual bool Sync() = 0;
  // Current size in bytes, buffered bytes included.
  virtual bool Size(std::uint64_t* size) = 0;
  // Cuts the file back to `size` bytes (buffered bytes are dropped first).
  virtual bool Truncate(std::uint64_t size) = 0;
  // Takes an exclusive lock held until Close; fails at once when another process holds it.
  virtual bool LockExclusive() = 0;
  // Flushes and closes; the object may only be destroyed afterwards. False when the flush
  // or the close failed.
  virtual bool Close() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens an existing file for reading; null when it cannot be opened.
  virtual std::unique_ptr<File> OpenRead(const char* path) = 0;
  // Opens a file for appending, creating it when missing; never truncates. Other programs may
  // still read, rename or delete it while it is open. Null when it cannot be opened.
  virtual std::unique_ptr<File> OpenAppend(const char* path) = 0;
  // Renames `from` to `to`; fails, and changes nothing, when `to` exists.
  virtual bool RenameNoReplace(const char* from, const char* to) = 0;
  virtual bool Remove(const char* path) = 0;
  // Makes the directory entry of `path` durable, so that a file just created survives a power
  // failure under its name. File systems that keep no such state have nothing to do.
  virtual bool SyncDirectoryOf(const char* path) {
    (void)path;
    return true;
  }
};

// The operating system's file system.
FileSystem& RealFileSystem();

// The file system that the program uses: the real one unless a test installed another.
FileSystem& Fs();
// Installs `fs` (null restores the real one); returns the one that was in use.
FileSystem* SetFileSystem(FileSystem* fs);

#endif  // DORNVIK_FILESYS_H_
