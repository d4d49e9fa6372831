// The table of flights and the waits on them (see memo_flight.hpp).
#include "memoize/flight.hpp"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "cache/fork_watch.hpp"
#include "cache/thread_waits.hpp"
#include "py/lock_held.hpp"

namespace pelm {

struct Flight {
  enum class State { kFlying, kStored, kRaised, kNotStored };

  Flight(const void* c, std::string_view k) : cache(c), key(k) {}
  Flight(const Flight&) = delete;
  Flight& operator=(const Flight&) = delete;
  // The last reference goes outside wait_lock() (see memo_flight.hpp); a
  // thread ended by a forced unwind drops it without the interpreter lock,
  // and then the exception is left to the ending process.
  ~Flight() {
    if (exception != nullptr && this_thread_holds_lock()) Py_DECREF(exception);
  }

  const void* cache;
  std::string key;
  std::uint64_t owner = this_thread_id();
  std::uint64_t generation = fork_generation();
  State state = State::kFlying;
  std::string text;               // kStored
  PyObject* exception = nullptr;  // kRaised; owned
  std::vector<Waiter*> waiters;
};

namespace {

// Never destroyed: a daemon thread may still land a flight while the process ends.
std::vector<std::shared_ptr<Flight>>& flights() {
  static auto* table = new std::vector<std::shared_ptr<Flight>>();
  return *table;
}

std::uint64_t flight_owner(const void* flight) noexcept { return static_cast<const Flight*>(flight)->owner; }

// Takes the flight out of the table and wakes its waiters; returns the
// table's reference, to be dropped by the caller after unlocking.
[[nodiscard]] std::shared_ptr<Flight> unlist(Flight& flight) {
  std::vector<std::shared_ptr<Flight>>& table = flights();
  std::shared_ptr<Flight> listed;
  const auto it = std::find_if(table.begin(), table.end(), [&](const auto& f) { return f.get() == &flight; });
  if (it != table.end()) {
    listed = std::move(*it);
    table.erase(it);
  }
  for (Waiter* w : flight.waiters) w->wake();
  return listed;
}

void land(Flight& flight, Flight::State state, std::string_view text, PyObject* exception) {
  std::shared_ptr<Flight> listed;
  {
    std::lock_guard<std::mutex> hold(wait_lock());
    if (flight.state != Flight::State::kFlying) return;
    flight.state = state;
    flight.text.assign(text);
    flight.exception = exception;
    listed = unlist(flight);
  }
}

// A flight whose owner is a thread of the parent process: it never lands here.
[[nodiscard]] bool orphaned(const Flight& f) noexcept { return !use_holder_survives(f.generation, f.owner); }

// The flight that flies for `key`, with orphans dropped into `dropped`.
[[nodiscard]] std::shared_ptr<Flight> find(const void* cache, std::string_view key,
                                           std::vector<std::shared_ptr<Flight>>& dropped) {
  std::vector<std::shared_ptr<Flight>>& table = flights();
  for (auto it = table.begin(); it != table.end();) {
    if (orphaned(**it)) {
      dropped.push_back(std::move(*it));
      it = table.erase(it);
      continue;
    }
    if ((*it)->cache == cache && (*it)->key == key) return *it;
    ++it;
  }
  return nullptr;
}

// A waiter listed on a flight for as long as it lives.
class FlightWaiter {
 public:
  explicit FlightWaiter(std::shared_ptr<Flight> flight)
      : flight_(std::move(flight)), waiter_(WaitTarget{&flight_owner, flight_.get()}) {}
  FlightWaiter(const FlightWaiter&) = delete;
  FlightWaiter& operator=(const FlightWaiter&) = delete;
  ~FlightWaiter() {
    std::lock_guard<std::mutex> hold(wait_lock());
    leave();
  }
  // These with wait_lock() held.
  void join() {
    flight_->waiters.push_back(&waiter_);
    waiter_.list();
  }
  void leave() noexcept {
    std::vector<Waiter*>& ws = flight_->waiters;
    ws.erase(std::remove(ws.begin(), ws.end(), &waiter_), ws.end());
    waiter_.unlist();
  }
  [[nodiscard]] bool park(std::unique_lock<std::mutex>& lock) { return waiter_.park(lock); }
  [[nodiscard]] Flight& flight() const noexcept { return *flight_; }

 private:
  std::shared_ptr<Flight> flight_;
  Waiter waiter_;
};

// Waits for `flight` to land and reads the outcome. `lock` is held on entry.
Result<FlightJoin> wait_for_landing(std::shared_ptr<Flight> flight, std::unique_lock<std::mutex>& lock) {
  std::optional<FlightWaiter> me;
  lock.unlock();  // FlightWaiter allocates nothing, but keeps the rule simple
  me.emplace(std::move(flight));
  lock.lock();
  me->join();
  Flight& f = me->flight();
  while (f.state == Flight::State::kFlying) {
    if (!me->park(lock)) return Error::fetch();
    lock.lock();
    if (interpreter_finalizing() || orphaned(f)) break;
  }
  me->leave();
  FlightJoin out{FlightJoin::Kind::kRunDirectly, nullptr, {}, {}};
  if (f.state == Flight::State::kStored) {
    out.kind = FlightJoin::Kind::kStored;
    out.text = f.text;
  } else if (f.state == Flight::State::kRaised) {
    out.kind = FlightJoin::Kind::kRaised;
    out.exception = OwnedRef::borrow(f.exception);
  }
  lock.unlock();
  return out;
}

}  // namespace

FlightOwner::~FlightOwner() {
  if (flight_) land(*flight_, Flight::State::kNotStored, {}, nullptr);
}

void FlightOwner::land_stored(std::string_view text) { land(*flight_, Flight::State::kStored, text, nullptr); }

void FlightOwner::land_raised(PyObject* exception) { land(*flight_, Flight::State::kRaised, {}, Py_NewRef(exception)); }

Result<FlightJoin> join_flight(const void* cache, std::string_view key) {
  std::vector<std::shared_ptr<Flight>> dropped;  // released after the lock
  std::unique_lock<std::mutex> lock(wait_lock());
  std::shared_ptr<Flight> flying = find(cache, key, dropped);
  if (!flying) {
    auto flight = std::make_shared<Flight>(cache, key);
    flights().push_back(flight);
    lock.unlock();
    return FlightJoin{FlightJoin::Kind::kOwner, std::make_unique<FlightOwner>(std::move(flight)), {}, {}};
  }
  if (flying->owner == this_thread_id() || interpreter_finalizing() ||
      wait_closes_cycle(WaitTarget{&flight_owner, flying.get()})) {
    lock.unlock();
    return FlightJoin{FlightJoin::Kind::kRunDirectly, nullptr, {}, {}};
  }
  return wait_for_landing(std::move(flying), lock);
}

void reset_flights_in_child() noexcept {
  for (const std::shared_ptr<Flight>& f : flights()) f->waiters.clear();
}

}  // namespace pelm
