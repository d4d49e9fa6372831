// One run at a time per key of a memoized plain function: a miss from a
// second thread waits for the first thread's run of the same key (its
// "flight") instead of running the function again.
//
// How a flight lands decides what its waiters do: a stored result is
// decoded by each waiter from the stored text, so each gets its own fresh
// copy; an exception is raised in every waiter (the same exception object);
// a result that could not be stored, or a run that never finished (its
// thread was ended at interpreter exit), sends each waiter to run the
// function itself. A miss runs directly, without waiting, when the flight is
// its own thread's (the function calls itself with the same arguments), when
// waiting would close a cycle of threads waiting on each other's flights
// (thread_waits.hpp), and while the interpreter is ending.
//
// Flights are keyed by cache and key text, so two memoized functions that
// share a cache and a key (keys name the function) share nothing by
// accident. The table lives under wait_lock(); a flight is listed only while
// it flies, and the owner's guard lands it on every path out of the run.
// References to Python objects are never dropped under wait_lock(): dropping
// one may run arbitrary code.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <string_view>

#include "py/error.hpp"
#include "py/owned_ref.hpp"

namespace pelm {

struct Flight;

// Held by the thread that runs the function for a key; lands the flight as
// "not stored" unless told otherwise first.
class FlightOwner {
 public:
  explicit FlightOwner(std::shared_ptr<Flight> flight) noexcept : flight_(std::move(flight)) {}
  FlightOwner(FlightOwner&&) noexcept = default;
  FlightOwner& operator=(FlightOwner&&) = delete;
  FlightOwner(const FlightOwner&) = delete;
  ~FlightOwner();

  void land_stored(std::string_view text);
  void land_raised(PyObject* exception);

 private:
  std::shared_ptr<Flight> flight_;
};

// What joining a key's flight gave a missed call.
struct FlightJoin {
  enum class Kind {
    kOwner,        // no flight flew: this call runs the function and lands `owner`
    kRunDirectly,  // run the function without a flight (see the top of this file)
    kStored,       // another thread's run stored `text`
    kRaised,       // another thread's run raised `exception`
  };
  Kind kind;
  std::unique_ptr<FlightOwner> owner;
  std::string text;
  OwnedRef exception;
};

// Joins the flight of `key` in `cache`, waiting with the interpreter lock
// released for another thread's flight to land. An error only when a signal
// handler raised while waiting.
[[nodiscard]] Result<FlightJoin> join_flight(const void* cache, std::string_view key);

// For the fork handler: waiters listed on flights are gone in the child.
void reset_flights_in_child() noexcept;

}  // namespace pelm
