#include "FileSys.h"

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#endif

namespace {

// Writes are collected up to this many bytes before they are handed to the system.
constexpr std::size_t kWriteBuffer = 64 * 1024;

// The part common to both systems: buffering of appended bytes. A platform supplies the
// unbuffered primitives.
class BufferedFile : public File {
 public:
  bool Write(const char* data, std::size_t n) override {
    if (closed_) return false;
    pending_.append(data, n);
    return pending_.size() < kWriteBuffer || Flush();
  }

  bool Flush() override {
    if (closed_) return false;
    std::string bytes;
    bytes.swap(pending_);  // failed bytes are dropped, never written twice
    return bytes.empty() || WriteAll(bytes.data(), bytes.size());
  }

  bool Sync() override { return Flush() && SyncToDisk(); }

  bool Size(std::uint64_t* size) override {
    if (closed_ || !StoredSize(size)) return false;
    *size += pending_.size();
    return true;
  }

  bool Truncate(std::uint64_t size) override {
    if (closed_) return false;
    pending_.clear();
    return TruncateTo(size);
  }

  bool Close() override {
    if (closed_) return false;
    bool flushed = Flush();
    closed_ = true;
    return CloseHandle() && flushed;
  }

 protected:
  // Best effort for a file that its user did not close.
  void CloseInDestructor() {
    if (!closed_) Close();
  }

  virtual bool WriteAll(const char* data, std::size_t n) = 0;
  virtual bool SyncToDisk() = 0;
  virtual bool StoredSize(std::uint64_t* size) = 0;
  virtual bool TruncateTo(std::uint64_t size) = 0;
  virtual bool CloseHandle() = 0;

 private:
  std::string pending_;
  bool closed_ = false;
};

#ifdef _WIN32

// Paths are texts in the system's ANSI code page, as the program receives them in argv. A text
// that does not convert gives an empty name, which no call accepts.
std::wstring Wide(const char* path) {
  int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide.data(), n) != n) {
    return std::wstring();
  }
  wide.resize(static_cast<std::size_t>(n - 1));
  return wide;
}

// ReadFile and WriteFile take at most a DWORD of bytes per call.
constexpr std::size_t kMaxChunk = 0x40000000;

class WinFile : public BufferedFile {
 public:
  explicit WinFile(HANDLE h) : h_(h) {}
  ~WinFile() override { CloseInDestructor(); }

  bool Read(char* buffer, std::size_t n, std::size_t* got) override {
    DWORD read = 0;
    DWORD want = static_cast<DWORD>(n > kMaxChunk ? kMaxChunk : n);
    BOOL ok = ReadFile(h_, buffer, want, &read, nullptr);
    *got = ok ? read : 0;
    return ok != 0;
  }

  // An exclusive lock on one byte far beyond any real content. Windows locks are mandatory for
  // the range they cover, so only this byte is barred: other programs can still read the file,
  // but a second LockExclusive on it fails. Closing the handle releases the lock.
  bool LockExclusive() override {
    OVERLAPPED at = {};
    at.OffsetHigh = 0x40000000;
    return LockFileEx(h_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
  }

 protected:
  bool WriteAll(const char* data, std::size_t n) override {
    while (n > 0) {
      // An offset of all ones writes at the current end of the file in one step, as O_APPEND
      // does: a line appended by another program meanwhile is never overwritten.
      OVERLAPPED atEnd = {};
      atEnd.Offset = 0xFFFFFFFF;
      atEnd.OffsetHigh = 0xFFFFFFFF;
      DWORD chunk = static_cast<DWORD>(n > kMaxChunk ? kMaxChunk : n);
      DWORD written = 0;
      if (!WriteFile(h_, data, chunk, &written, &atEnd) || written == 0) return false;
      data += written;
      n -= written;
    }
    return true;
  }
  bool SyncToDisk() override { return FlushFileBuffers(h_) != 0; }
  bool StoredSize(std::uint64_t* size) override {
    LARGE_INTEGER s;
    if (!GetFileSizeEx(h_, &s)) return false;
    *size = static_cast<std::uint64_t>(s.QuadPart);
    return true;
  }
  bool TruncateTo(std::uint64_t size) override {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(h_, at, nullptr, FILE_BEGIN) && SetEndOfFile(h_);
  }
  bool CloseHandle() override { return ::CloseHandle(h_) != 0; }

 private:
  HANDLE h_;
};

class WinFileSystem : public FileSystem {
 public:
  std::unique_ptr<File> OpenRead(const char* path) override {
    return Open(path, GENERIC_READ, OPEN_EXISTING);
  }
  // Write access rather than append-only access, because Truncate needs it; WriteAll appends.
  std::unique_ptr<File> OpenAppend(const char* path) override {
    return Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
  }
  bool RenameNoReplace(const char* from, const char* to) override {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists; without
    // MOVEFILE_COPY_ALLOWED it stays a rename on one volume.
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), 0) != 0;
  }
  bool Remove(const char* path) override { return DeleteFileW(Wide(path).c_str()) != 0; }
  // NTFS logs the creation of a directory entry with the file's metadata, which the file's own
  // FlushFileBuffers makes durable.
  bool SyncDirectoryOf(const char*) override { return true; }

 private:
  static std::unique_ptr<File> Open(const char* path, DWORD access, DWORD disposition) {
    // Other programs may read, write, move or delete the file while it is open; a directory
    // does not open without FILE_FLAG_BACKUP_SEMANTICS, so it is never taken for a file. The
    // handle is not inherited by child processes.
    HANDLE h = CreateFileW(Wide(path).c_str(), access,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<WinFile>(h);
  }
};

using PlatformFileSystem = WinFileSystem;

#else

class PosixFile : public BufferedFile {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { CloseInDestructor(); }

  bool Read(char* buffer, std::size_t n, std::size_t* got) override {
    ssize_t r;
    do {
      r = ::read(fd_, buffer, n);
    } while (r < 0 && errno == EINTR);
    *got = r > 0 ? static_cast<std::size_t>(r) : 0;
    return r >= 0;
  }

  // flock belongs to the open file, not to the process, and is released by the close.
  bool LockExclusive() override { return ::flock(fd_, LOCK_EX | LOCK_NB) == 0; }

 protected:
  bool WriteAll(const char* data, std::size_t n) override {
    while (n > 0) {
      ssize_t w = ::write(fd_, data, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      data += w;
      n -= static_cast<std::size_t>(w);
    }
    return true;
  }
  bool SyncToDisk() override { return ::fsync(fd_) == 0; }
  bool StoredSize(std::uint64_t* size) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return false;
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }
  bool TruncateTo(std::uint64_t size) override {
    return ::ftruncate(fd_, static_cast<off_t>(size)) == 0;
  }
  bool CloseHandle() override { return ::close(fd_) == 0; }

 private:
  int fd_;
};

class PosixFileSystem : public FileSystem {
 public:
  std::unique_ptr<File> OpenRead(const char* path) override {
    return Open(path, O_RDONLY | O_CLOEXEC);
  }
  std::unique_ptr<File> OpenAppend(const char* path) override {
    return Open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC);
  }

  bool RenameNoReplace(const char* from, const char* to) override {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    // A file system without the flag: a hard link fails on an existing target as well.
    if (::link(from, to) != 0) return false;
    if (::unlink(from) != 0) {
      ::unlink(to);
      return false;
    }
    return true;
  }

  bool Remove(const char* path) override { return ::unlink(path) == 0; }

  bool SyncDirectoryOf(const char* path) override {
    std::string dir(path);
    std::size_t slash = dir.find_last_of('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int fd;
    do {
      fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
  }

 private:
  static std::unique_ptr<File> Open(const char* path, int flags) {
    int fd;
    do {
      fd = ::open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    struct stat st;
    // A directory is not a file here, as on Windows.
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixFile>(fd);
  }
};

using PlatformFileSystem = PosixFileSystem;

#endif

FileSystem* g_current = nullptr;

}  // namespace

FileSystem& RealFileSystem() {
  static PlatformFileSystem fs;
  return fs;
}

FileSystem& Fs() { return g_current ? *g_current : RealFileSystem(); }

FileSystem* SetFileSystem(FileSystem* fs) {
  FileSystem* old = &Fs();
  g_current = fs;
  return old;
}
