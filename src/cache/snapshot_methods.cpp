// save() and load(): the cache to a snapshot and back (the format, its
// checks and its files are the snapshot layer's; this is the glue).
//
// save holds a counted shared use from its start to its end, writing in
// pieces of at most 1 MiB as it walks the entries, least recently used
// first. What it writes is therefore the cache as it was when the call
// began, whatever the file's own write() does meanwhile: calls from that
// code may read the cache, and those that would change it get the in-use
// error, as any re-entrant call does. Copying the texts out first would let
// them change it, at the price of a second copy of the whole cache; the
// bound on save's memory rules that out. Writing to a path runs no Python
// code, and the lock is released around each system call. A fork inside
// write() voids the use in the child, so the child's save stops there.
//
// load holds no use while it reads: a file's read() may use the cache
// freely. Each entry is checked and staged in a batch of detached entries
// (engine/entry_batch.hpp), and only once the whole snapshot has been read
// and found sound does load take exclusive use and commit the batch, which
// cannot fail after it starts changing the cache. A fault of any kind
// leaves the cache as it was. Times: an entry's remaining time is its wall
// clock end less the wall clock when load began, counted from the monotonic
// clock's reading at the same moment.
#include <algorithm>
#include <memory>
#include <limits>

#include "cache/fork_watch.hpp"
#include "cache/method_support.hpp"
#include "cache/methods.hpp"
#include "cache/snapshot_target.hpp"
#include "snapshot/snapshot_reader.hpp"
#include "snapshot/snapshot_writer.hpp"
#include "support/monotonic_clock.hpp"
#include "support/wall_clock.hpp"

namespace pelm {

namespace {

constexpr Signature kSaveSignature{"Cache.save()", {"file", nullptr}, 1, 1};
constexpr Signature kLoadSignature{"Cache.load()", {"file", nullptr}, 1, 1};
constexpr std::size_t kReadPiece = std::size_t{1} << 20;

// Runs `io`, which makes system calls and touches nothing of Python's, with
// the interpreter lock released; the lock is back however `io` ends.
template <class Io>
auto unlocked(Io&& io) {
  struct Relock {
    PyThreadState* saved = PyEval_SaveThread();
    ~Relock() { PyEval_RestoreThread(saved); }
  } relock;
  return io();
}

// Both clocks read at one moment.
struct ClockPair {
  std::int64_t wall = clock::wall_now_ns();
  std::int64_t mono = clock::now_ns();
};

// --- save -------------------------------------------------------------------

class FileSink : public snapshot::ByteSink {
 public:
  explicit FileSink(snapshot::ReplacementFile& file) noexcept : file_(file) {}
  bool put(std::string_view piece) override {
    fault = unlocked([&] { return file_.write(piece); });
    return !fault;
  }
  std::optional<snapshot::FileFault> fault;

 private:
  snapshot::ReplacementFile& file_;
};

// Each piece goes to the file object's write() as a bytes object of its own
// (the object may keep it). A result that is an int short of the piece is
// a raw file's partial write: the rest follows. Any other result counts as
// all written, as the standard library's copying functions take it.
class WriteMethodSink : public snapshot::ByteSink {
 public:
  WriteMethodSink(PyObject* write, std::uint64_t generation) noexcept : write_(write), generation_(generation) {}
  bool put(std::string_view piece) override {
    while (!piece.empty()) {
      const std::optional<std::size_t> taken = write_once(piece);
      if (!taken) return false;
      piece.remove_prefix(*taken);
    }
    return true;
  }
  std::optional<Error> error;

 private:
  std::optional<std::size_t> write_once(std::string_view piece) {
    OwnedRef bytes = OwnedRef::steal(PyBytes_FromStringAndSize(piece.data(), static_cast<Py_ssize_t>(piece.size())));
    if (!bytes) return fail(Error::fetch());
    OwnedRef result = OwnedRef::steal(PyObject_CallOneArg(write_, bytes.get()));
    if (fork_generation() != generation_) {
      if (!result) PyErr_Clear();
      return fail(Error::pending(PyExc_RuntimeError, std::string(msg::kForkedDuringSave)));
    }
    if (!result) return fail(Error::fetch());
    if (!PyLong_Check(result.get())) return piece.size();
    const long long n = PyLong_AsLongLong(result.get());
    if (n == -1 && PyErr_Occurred()) return fail(Error::fetch());
    if (n <= 0 || static_cast<unsigned long long>(n) > piece.size()) {
      return fail(Error::pending(PyExc_OSError, msg::write_count_wrong(n, piece.size())));
    }
    return static_cast<std::size_t>(n);
  }
  std::optional<std::size_t> fail(Error e) {
    error.emplace(std::move(e));
    return std::nullopt;
  }

  PyObject* write_;
  std::uint64_t generation_;
};

// Every live entry, least recently used first; false once the sink stops.
bool write_snapshot(const Engine& engine, snapshot::SnapshotWriter& writer) {
  const ClockPair now;
  if (!writer.header(now.wall)) return false;
  for (const Entry* e = engine.tail(); e != nullptr; e = e->prev) {
    std::optional<std::int64_t> expires;
    if (e->timed()) {
      if (e->deadline() <= now.mono) continue;  // due, though a nested call could not retire it
      expires = clock::add_saturating(now.wall, e->deadline() - now.mono);
    }
    if (!writer.entry(e->key(), expires, e->data())) return false;
  }
  return writer.finish();
}

Result<OwnedRef> save_to_path(CacheObject* self, const snapshot::NativePath& path) {
  snapshot::ReplacementFile file;
  if (auto fault = unlocked([&] { return file.open(path); })) return file_fault_error(*fault);
  FileSink sink(file);
  snapshot::SnapshotWriter writer(sink);
  if (!write_snapshot(self->engine, writer)) return file_fault_error(*sink.fault);
  if (auto fault = unlocked([&] { return file.commit(); })) return file_fault_error(*fault);
  return new_uint(writer.entries());
}

Result<OwnedRef> save_to_object(CacheObject* self, PyObject* write, std::uint64_t generation) {
  WriteMethodSink sink(write, generation);
  snapshot::SnapshotWriter writer(sink);
  if (!write_snapshot(self->engine, writer)) return std::move(*sink.error);
  return new_uint(writer.entries());
}

// Matches the one argument, `file`, and resolves it for `method`.
Result<FileTarget> file_argument(const Signature& sig, const char* method, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
  BoundArgs bound;
  PELM_TRY(match_vectorcall(sig, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames, bound));
  return resolve_file_target(bound[0], method, sig.name);
}

Result<OwnedRef> save_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Result<FileTarget> target = file_argument(kSaveSignature, "write", args, nargsf, kwnames);
  if (!target.ok()) return std::move(target.error());
  std::optional<SharedUse> use;
  PELM_TRY(SharedUse::take(self->use_flag, use));
  if (target.value().path) return save_to_path(self, *target.value().path);
  return save_to_object(self, target.value().method.get(), fork_generation());
}

// --- load -------------------------------------------------------------------

// Stages each checked entry in the batch, with its deadline on this
// process's monotonic clock and the map hash the cache gives its key.
class StageSink : public snapshot::EntrySink {
 public:
  StageSink(const Engine& engine, EntryBatch& batch, ClockPair start) noexcept
      : engine_(engine), batch_(batch), start_(start), limit_(engine.limit()) {}

  bool take(const snapshot::SnapshotEntry& entry) override {
    if (entry.text.size() > limit_) {  // a repeat on an earlier line comes first
      return settle() && refuse(snapshot::text_too_large(entry.line, entry.text.size(), limit_));
    }
    // The key's bytes are valid UTF-8 (the reader checked them): the str
    // made from them hashes as the caller's key would.
    OwnedRef key =
        OwnedRef::steal(PyUnicode_DecodeUTF8(entry.key.data(), static_cast<Py_ssize_t>(entry.key.size()), nullptr));
    if (!key) {
      error.emplace(Error::fetch());
      return false;
    }
    const std::uint64_t h = engine_.map_hash(KeyRef{entry.key, str_hash(key.get())});
    return no_repeat(batch_.add(entry.key, entry.text, h, deadline_of(entry.expires_at_ns), entry.line));
  }
  // Settles the batch's last entries; false (with the error) on a repeat.
  bool settle() { return no_repeat(batch_.settle()); }
  std::optional<Error> error;

 private:
  Deadline deadline_of(std::optional<std::int64_t> expires_at) const noexcept {
    if (!expires_at) return kNoDeadline;
    // Both times are within the int64 range and at least 0 apart from it.
    const std::int64_t remaining = *expires_at - std::min(start_.wall, *expires_at);
    if (remaining == 0) return std::numeric_limits<Deadline>::min();  // already over: never enters
    return std::min(clock::add_saturating(start_.mono, remaining), kNoDeadline - 1);
  }
  bool no_repeat(const std::optional<EntryBatch::Repeat>& repeat) {
    return !repeat || refuse(snapshot::repeated_key(repeat->tag, repeat->key));
  }
  bool refuse(const snapshot::SnapshotFault& fault) {
    error.emplace(Error::pending(PyExc_ValueError, fault.text()));
    return false;
  }

  const Engine& engine_;
  EntryBatch& batch_;
  ClockPair start_;
  std::uint64_t limit_;
};

// The error of a fault: the sink's own, or the reader's as a ValueError,
// unless a repeated key on an earlier line is found as the batch settles.
Error fault_error(const snapshot::SnapshotFault& fault, StageSink& sink) {
  if (fault.sink_stopped || !sink.settle()) return std::move(*sink.error);
  return Error::pending(PyExc_ValueError, fault.text());
}

std::optional<Error> read_path(const snapshot::NativePath& path, snapshot::SnapshotReader& reader, StageSink& sink) {
  snapshot::SnapshotFileReader file;
  if (auto fault = unlocked([&] { return file.open(path); })) return file_fault_error(*fault);
  std::unique_ptr<char[]> buffer(new char[kReadPiece]);
  for (;;) {
    std::size_t got = 0;
    if (auto fault = unlocked([&] { return file.read(buffer.get(), kReadPiece, got); })) {
      return file_fault_error(*fault);
    }
    if (got == 0) return std::nullopt;
    if (auto f = reader.feed(std::string_view(buffer.get(), got), sink)) return fault_error(*f, sink);
  }
}

std::optional<Error> read_object(PyObject* read, snapshot::SnapshotReader& reader, StageSink& sink) {
  OwnedRef size = OwnedRef::steal(PyLong_FromSize_t(kReadPiece));
  if (!size) return Error::fetch();
  for (;;) {
    OwnedRef piece = OwnedRef::steal(PyObject_CallOneArg(read, size.get()));
    if (!piece) return Error::fetch();
    if (!PyObject_CheckBuffer(piece.get()) || PyUnicode_Check(piece.get())) {
      return Error::pending(PyExc_TypeError, msg::read_not_bytes(type_qualname(piece.get())));
    }
    // Released however the feed ends (it throws std::bad_alloc when memory runs out).
    struct HeldBuffer {
      Py_buffer view{};
      bool held = false;
      ~HeldBuffer() {
        if (held) PyBuffer_Release(&view);
      }
    } buffer;
    if (PyObject_GetBuffer(piece.get(), &buffer.view, PyBUF_SIMPLE) < 0) return Error::fetch();
    buffer.held = true;
    const std::string_view bytes(static_cast<const char*>(buffer.view.buf), static_cast<std::size_t>(buffer.view.len));
    if (bytes.empty()) return std::nullopt;
    if (auto f = reader.feed(bytes, sink)) return fault_error(*f, sink);
  }
}

Result<OwnedRef> load_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Result<FileTarget> target = file_argument(kLoadSignature, "read", args, nargsf, kwnames);
  if (!target.ok()) return std::move(target.error());
  EntryBatch batch;  // declared before the use: freeing what is left runs no Python code either way
  StageSink sink(self->engine, batch, ClockPair{});
  snapshot::SnapshotReader reader;
  std::optional<Error> failed = target.value().path ? read_path(*target.value().path, reader, sink)
                                                    : read_object(target.value().method.get(), reader, sink);
  if (failed) return std::move(*failed);
  if (auto f = reader.finish()) return fault_error(*f, sink);
  if (!sink.settle()) return std::move(*sink.error);
  std::optional<ExclusiveUse> use;
  PELM_TRY(ExclusiveUse::take(self->use_flag, use));
  const Deadline now = clock::now_ns();
  self->counters.expirations += self->engine.expire(now);
  const Engine::BatchOutcome outcome = self->engine.commit_batch(batch, now);
  self->counters.inserts += outcome.inserted;
  self->counters.evictions += outcome.evicted;
  return new_uint(outcome.stored);
}

}  // namespace

PyObject* cache_save(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return vector_method<save_impl>(op, args, nargsf, kwnames);
}

PyObject* cache_load(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return vector_method<load_impl>(op, args, nargsf, kwnames);
}

}  // namespace pelm
