// Snapshot files on disk (see snapshot_file.hpp), for POSIX systems and for
// Windows (its C runtime's descriptors, and MoveFileExW to replace the
// target; Windows has no flush of a directory, the rename's write-through
// flag stands in for it).
#include "snapshot/snapshot_file.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace pelm::snapshot {

namespace {

#if defined(_WIN32)
int open_new(const NativePath& p) {
  return _wopen(p.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}
int open_existing(const NativePath& p) { return _wopen(p.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT); }
long long write_some(int fd, const char* p, std::size_t n) {
  return _write(fd, p, static_cast<unsigned>(n < (1u << 30) ? n : (1u << 30)));
}
long long read_some(int fd, char* p, std::size_t n) {
  return _read(fd, p, static_cast<unsigned>(n < (1u << 30) ? n : (1u << 30)));
}
int flush_file(int fd) { return _commit(fd); }
int close_file(int fd) { return _close(fd); }
void remove_file(const NativePath& p) { _wunlink(p.c_str()); }
NativePath number_text(std::uint64_t v) { return std::to_wstring(v); }
#else
constexpr char kSeparators[] = "/";
int open_new(const NativePath& p) { return ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }
int open_existing(const NativePath& p) { return ::open(p.c_str(), O_RDONLY | O_CLOEXEC); }
long long write_some(int fd, const char* p, std::size_t n) { return ::write(fd, p, n); }
long long read_some(int fd, char* p, std::size_t n) { return ::read(fd, p, n); }
int flush_file(int fd) {
#if defined(__APPLE__)
  // fsync leaves the data in the drive's cache on macOS; F_FULLFSYNC does not.
  if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  return ::fsync(fd);
}
int close_file(int fd) { return ::close(fd); }
void remove_file(const NativePath& p) { ::unlink(p.c_str()); }
NativePath number_text(std::uint64_t v) { return std::to_string(v); }

// The directory holding `path`, opened for its flush.
std::optional<FileFault> flush_directory_of(const NativePath& path) {
  const std::size_t slash = path.find_last_of(kSeparators);
  const NativePath dir = slash == NativePath::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
  if (fd < 0) return FileFault{errno, false, dir};
  // Some file systems cannot flush a directory (EINVAL); the rename stands.
  const bool failed = ::fsync(fd) != 0 && errno != EINVAL;
  const int code = errno;
  ::close(fd);
  if (failed) return FileFault{code, false, dir};
  return std::nullopt;
}
#endif

FileFault errno_fault(const NativePath& path) { return FileFault{errno, false, path}; }

// A name no other save in this process uses; with the process id and the
// time it is most unlikely to be taken, and O_EXCL makes sure.
NativePath temp_name(const NativePath& target, unsigned attempt) {
  static std::atomic<std::uint64_t> counter{0};
  const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#if defined(_WIN32)
  const std::uint64_t pid = GetCurrentProcessId();
  const NativePath dot = L".", tail = L".tmp";
#else
  const auto pid = static_cast<std::uint64_t>(::getpid());
  const NativePath dot = ".", tail = ".tmp";
#endif
  const std::uint64_t n = (pid << 40) ^ (now * 0x9E3779B97F4A7C15ull) ^ counter.fetch_add(1) ^ attempt;
  return target + dot + number_text(n % 100000000000ull) + tail;
}

}  // namespace

ReplacementFile::~ReplacementFile() { abandon(); }

void ReplacementFile::abandon() noexcept {
  if (fd_ < 0) return;
  close_file(fd_);
  fd_ = -1;
  remove_file(temp_);
}

std::optional<FileFault> ReplacementFile::open(const NativePath& target) {
  target_ = target;
  for (unsigned attempt = 0;; ++attempt) {
    temp_ = temp_name(target, attempt);
    fd_ = open_new(temp_);
    if (fd_ >= 0) return std::nullopt;
    if (errno != EEXIST || attempt == 8) return errno_fault(temp_);
  }
}

std::optional<FileFault> ReplacementFile::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const long long n = write_some(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno_fault(temp_);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

std::optional<FileFault> ReplacementFile::commit() {
  if (flush_file(fd_) != 0) return errno_fault(temp_);
  const int fd = fd_;
  fd_ = -1;
  if (close_file(fd) != 0) {
    const FileFault f = errno_fault(temp_);
    remove_file(temp_);
    return f;
  }
#if defined(_WIN32)
  if (!MoveFileExW(temp_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const FileFault f{static_cast<int>(GetLastError()), true, target_};
    remove_file(temp_);
    return f;
  }
  return std::nullopt;
#else
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const FileFault f = errno_fault(target_);
    remove_file(temp_);
    return f;
  }
  return flush_directory_of(target_);
#endif
}

SnapshotFileReader::~SnapshotFileReader() {
  if (fd_ >= 0) close_file(fd_);
}

std::optional<FileFault> SnapshotFileReader::open(const NativePath& path) {
  path_ = path;
  fd_ = open_existing(path);
  if (fd_ < 0) return errno_fault(path);
  return std::nullopt;
}

std::optional<FileFault> SnapshotFileReader::read(char* out, std::size_t n, std::size_t& got) {
  for (;;) {
    const long long r = read_some(fd_, out, n);
    if (r >= 0) {
      got = static_cast<std::size_t>(r);
      return std::nullopt;
    }
    if (errno != EINTR) return errno_fault(path_);
  }
}

}  // namespace pelm::snapshot
