// Snapshot files on disk: a replacement written beside its target and
// renamed over it, and a plain reader. No Python: the caller releases the
// interpreter lock around these calls, which only make system calls.
//
// Replacement, so that an error or a crash at any moment leaves the old file
// whole: the new text goes to a fresh temporary file in the target's own
// directory (created exclusively, so nothing else's file is touched), which
// is flushed to the disk, closed, and renamed over the target; then the
// directory itself is flushed, so the rename survives a power cut. Until
// `commit` succeeds the target is untouched, and a replacement that is
// dropped uncommitted removes its temporary file. (A crash leaves that file
// behind: "<target>.<number>.tmp".)
//
// Paths are the platform's own: bytes on POSIX, UTF-16 on Windows. A fault
// carries the system's error code, the failed operation and the path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelm::snapshot {

#if defined(_WIN32)
using NativePath = std::wstring;
#else
using NativePath = std::string;
#endif

struct FileFault {
  int code;  // errno, or a Windows error code when `windows_code`
  bool windows_code;
  NativePath path;
};

class ReplacementFile {
 public:
  ReplacementFile() = default;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  // Removes the temporary file unless committed.
  ~ReplacementFile();

  // Creates the temporary file beside `target`.
  [[nodiscard]] std::optional<FileFault> open(const NativePath& target);
  // Appends all of `bytes`.
  [[nodiscard]] std::optional<FileFault> write(std::string_view bytes);
  // Flushes, closes, renames over the target, flushes the directory.
  [[nodiscard]] std::optional<FileFault> commit();

 private:
  void abandon() noexcept;

  NativePath target_;
  NativePath temp_;
  int fd_ = -1;
};

class SnapshotFileReader {
 public:
  SnapshotFileReader() = default;
  SnapshotFileReader(const SnapshotFileReader&) = delete;
  SnapshotFileReader& operator=(const SnapshotFileReader&) = delete;
  ~SnapshotFileReader();

  [[nodiscard]] std::optional<FileFault> open(const NativePath& path);
  // Reads up to `n` bytes into `out`; `got` is 0 at the end of the file.
  [[nodiscard]] std::optional<FileFault> read(char* out, std::size_t n, std::size_t& got);

 private:
  NativePath path_;
  int fd_ = -1;
};

}  // namespace pelm::snapshot
