// Every message text of the Python layers (py and above), in one table, each
// a string_view (those handed to C functions end in a NUL all the same).
//
// Callers compare these texts byte for byte, and tests pin them, so a text is
// written once here and used by name everywhere; a template's fixed pieces
// sit beside the function that fills it in. The reader's own messages live
// with the reader (codec/reader.cpp), which has no Python.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "py/concat.hpp"

namespace pelm::msg {

// --- the use flag -----------------------------------------------------------
inline constexpr std::string_view kAlreadyBorrowed = "Already borrowed";
inline constexpr std::string_view kAlreadyMutablyBorrowed = "Already mutably borrowed";

// --- the note added to a failed conversion of a named parameter --------------
inline constexpr std::string_view kArgumentNoteFormat = "while processing '%s'";

// --- prefixes of wrapped failures --------------------------------------------
inline constexpr std::string_view kSerialiseFailed = "failed to serialise Python object: ";
inline constexpr std::string_view kReadFailed = "JSON deserialisation failed: ";
inline constexpr std::string_view kConvertFailed = "failed to convert value to Python object: ";

// --- conversion failures -----------------------------------------------------
inline constexpr std::string_view kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr std::string_view kNullObject = "PyObject pointer is null";
inline constexpr std::string_view kByteArray = "invalid type: byte array, expected any valid JSON value";
inline constexpr std::string_view kNumberOutOfRange = "JSON number out of range";
inline constexpr std::string_view kRecursionLimit = "recursion limit exceeded";
// Never raised: a memoized call whose arguments meet it runs uncached.
inline constexpr std::string_view kNoKeyText = "no canonical text for a NaN, an infinity or a set";

[[nodiscard]] inline std::string unsupported_type(std::string_view type_name) {
  return concat({"unsupported type ", type_name});
}
[[nodiscard]] inline std::string unexpected_type(std::string_view not_an_instance) {
  return concat({"unexpected type: ", not_an_instance});
}
[[nodiscard]] inline std::string wrong_sequence_length(std::size_t expected, std::size_t actual) {
  return concat({"expected sequence of length ", std::to_string(expected), ", got ", std::to_string(actual)});
}

// --- type names and instance checks ------------------------------------------
inline constexpr std::string_view kUnknownType = "unknown";
inline constexpr std::string_view kTypeNameFailed = "<failed to extract type name>";
inline constexpr std::string_view kExceptionStrFailed = "<exception str() failed>";

[[nodiscard]] inline std::string none_not_an_instance(std::string_view required) {
  return concat({"'None' is not an instance of '", required, "'"});
}
[[nodiscard]] inline std::string not_an_instance(std::string_view type_name, std::string_view required) {
  return concat({"'", type_name, "' object is not an instance of '", required, "'"});
}

// --- cache operations --------------------------------------------------------
[[nodiscard]] inline std::string value_too_large(std::string_view key, std::uint64_t size, std::uint64_t limit) {
  return concat({"Value for key '", key, "' (", std::to_string(size), " bytes) exceeds the cache limit (",
                 std::to_string(limit), " bytes)"});
}
[[nodiscard]] inline std::string key_not_found(std::string_view key) { return concat({"Key '", key, "' not found"}); }
inline constexpr std::string_view kTtlOutOfRange = "ttl must be a finite number of seconds greater than 0";
[[nodiscard]] inline std::string ttl_not_a_number(std::string_view type_name) {
  return concat({"ttl must be an int or a float number of seconds, not '", type_name, "'"});
}

// --- stored text in and out (insert_raw, get_raw) ---------------------------
// `refusal` is the canonicaliser's "<what> at byte <offset>".
[[nodiscard]] inline std::string text_refused(std::string_view refusal) {
  return concat({"JSON text refused: ", refusal});
}
[[nodiscard]] inline std::string not_text(std::string_view type_name) {
  return concat({"'", type_name, "' object is neither a str nor a bytes-like object"});
}
inline constexpr std::string_view kTextNotContiguous = "a memoryview given as text must be C-contiguous";

// --- snapshots (save, load; the format's own faults are the snapshot layer's) ---
[[nodiscard]] inline std::string not_a_snapshot_file(std::string_view f, std::string_view method,
                                                     std::string_view type_name) {
  return concat({f, " takes a path or a binary file object with ", method, "(), not '", type_name, "'"});
}
[[nodiscard]] inline std::string read_not_bytes(std::string_view type_name) {
  return concat({"Cache.load(): read() returned '", type_name, "', not bytes (open the file in binary mode)"});
}
[[nodiscard]] inline std::string write_count_wrong(long long count, std::size_t offered) {
  return concat(
      {"Cache.save(): write() reported ", std::to_string(count), " bytes written of ", std::to_string(offered)});
}
inline constexpr std::string_view kForkedDuringSave = "Cache.save(): the process forked while it was writing";

// --- memoized functions ------------------------------------------------------
inline constexpr std::string_view kMemoCleared = "the memoized function was cleared by the garbage collector";
inline constexpr std::string_view kMemoNoName =
    "Cache.memoize() needs a prefix for a callable without __qualname__ or __name__";
inline constexpr std::string_view kDigestNotStr = "hexdigest() did not return a str";
inline constexpr std::string_view kShimIncomplete = "the coroutine shim lacks its functions";
[[nodiscard]] inline std::string not_callable(std::string_view type_name) {
  return concat({"'", type_name, "' object is not callable"});
}

// --- argument matching (F is the callable's name, e.g. "Cache.insert()") ------
[[nodiscard]] inline std::string multiple_values(std::string_view f, std::string_view param) {
  return concat({f, " got multiple values for argument '", param, "'"});
}
[[nodiscard]] inline std::string unexpected_keyword(std::string_view f, std::string_view keyword) {
  return concat({f, " got an unexpected keyword argument '", keyword, "'"});
}
[[nodiscard]] inline std::string missing_arguments(std::string_view f, std::size_t missing, std::string_view names) {
  return concat(
      {f, " missing ", std::to_string(missing), " required positional argument", missing > 1 ? "s: " : ": ", names});
}
[[nodiscard]] inline std::string positional_only_as_keyword(std::string_view f, std::string_view names) {
  return concat({f, " got some positional-only arguments passed as keyword arguments: ", names});
}
[[nodiscard]] inline std::string too_many_positional(std::string_view f, std::string_view counts, std::size_t given) {
  return concat({f, " takes ", counts, " positional arguments but ", std::to_string(given), " were given"});
}

// A finaliser run by an interpreter's last collection, after the module's
// types were cleared, cannot make an object of them.
inline constexpr std::string_view kModuleCleared = "pelm_lib's types are gone: the interpreter is shutting down";

// --- internal failures (PanicException) ----------------------------------------
inline constexpr std::string_view kAppendToAllFailed = "could not append __name__ to __all__: ";
inline constexpr std::string_view kUnexpectedInternal = "unexpected internal exception";
inline constexpr std::string_view kResumingPanic = "pelm_lib: resuming a PanicException raised through Python code\n";

}  // namespace pelm::msg
