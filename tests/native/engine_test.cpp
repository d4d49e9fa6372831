// The engine's list and map, checked against their invariants after every step.
#include "engine/engine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace pelm {
namespace {

// Keys from head (most recent) to tail.
std::vector<std::string> order(const Engine& e) {
  std::vector<std::string> keys;
  for (const Entry* n = e.head(); n != nullptr; n = n->next) keys.emplace_back(n->key());
  return keys;
}

void expect_invariants(const Engine& e) { EXPECT_EQ(e.check_invariants(), "") << "after the last step"; }

// The engine takes the caller's hash of a key; any well-distributed one does.
KeyRef key_ref(std::string_view key) { return {key, std::hash<std::string_view>{}(key)}; }
Entry* find(const Engine& e, std::string_view key) { return e.find(key_ref(key)); }
bool remove(Engine& e, std::string_view key) { return e.remove(key_ref(key)); }

void put(Engine& e, const std::string& key, const std::string& text, Deadline deadline = kNoDeadline) {
  e.commit_insert(e.prepare_insert(key_ref(key), text, deadline));
  expect_invariants(e);
}

using Keys = std::vector<std::string>;

TEST(Engine, InsertLinksAtHeadAndGetPromotes) {
  Engine e(100, {1, 2});
  put(e, "a", "1");
  put(e, "b", "2");
  put(e, "c", "3");
  EXPECT_EQ(order(e), (Keys{"c", "b", "a"}));
  e.move_to_front(find(e, "a"));
  expect_invariants(e);
  EXPECT_EQ(order(e), (Keys{"a", "c", "b"}));
  e.move_to_front(find(e, "a"));  // already the head: nothing moves
  EXPECT_EQ(order(e), (Keys{"a", "c", "b"}));
  e.evict_lru();
  expect_invariants(e);
  EXPECT_EQ(order(e), (Keys{"a", "c"}));
}

TEST(Engine, MoveTailAndMiddleToFront) {
  Engine e(100, {3, 4});
  for (const char* k : {"a", "b", "c", "d"}) put(e, k, "0");
  e.move_to_front(find(e, "a"));  // the tail
  expect_invariants(e);
  EXPECT_EQ(order(e), (Keys{"a", "d", "c", "b"}));
  e.move_to_front(find(e, "c"));  // a middle entry
  expect_invariants(e);
  EXPECT_EQ(order(e), (Keys{"c", "a", "d", "b"}));
}

struct RemoveCase {
  const char* name;
  std::vector<std::string> keys;
  std::string removed;
  std::vector<std::string> expected;
};

class EngineRemove : public ::testing::TestWithParam<RemoveCase> {};

TEST_P(EngineRemove, KeepsNeighboursLinked) {
  const RemoveCase& c = GetParam();
  Engine e(1000, {5, 6});
  for (const auto& k : c.keys) put(e, k, "12");
  EXPECT_TRUE(remove(e, c.removed));
  expect_invariants(e);
  EXPECT_EQ(order(e), c.expected);
  EXPECT_EQ(e.size(), 2 * c.expected.size());
  EXPECT_FALSE(remove(e, c.removed));
  expect_invariants(e);
}

INSTANTIATE_TEST_SUITE_P(
    Positions, EngineRemove,
    ::testing::Values(RemoveCase{"only", {"a"}, "a", {}}, RemoveCase{"head", {"a", "b", "c"}, "c", {"b", "a"}},
                      RemoveCase{"tail", {"a", "b", "c"}, "a", {"c", "b"}},
                      RemoveCase{"middle", {"a", "b", "c"}, "b", {"c", "a"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Engine, EvictOnEmptyCacheDoesNothing) {
  Engine e(10, {0, 0});
  e.evict_lru();
  e.clear();
  expect_invariants(e);
  EXPECT_EQ(e.count(), 0u);
}

TEST(Engine, EvictionMakesRoomFromTheTail) {
  Engine e(10, {7, 8});
  put(e, "a", "aaa");
  put(e, "b", "bbb");
  put(e, "c", "ccc");
  put(e, "d", "ddddddd");  // 7 bytes: a and b must go, c stays
  EXPECT_EQ(order(e), (Keys{"d", "c"}));
  EXPECT_EQ(e.size(), 10u);
}

TEST(Engine, ResizeEvictsFromTheTailUntilTheCacheFits) {
  Engine e(10, {7, 9});
  for (const char* k : {"a", "b", "c"}) put(e, k, "333");
  Keys visited;
  e.visit_most_recent_first([&](const Entry& n) { visited.emplace_back(n.key()); });
  EXPECT_EQ(visited, (Keys{"c", "b", "a"}));
  EXPECT_EQ(e.resize(100), 0u);  // growing evicts nothing
  EXPECT_EQ(e.resize(6), 1u);
  expect_invariants(e);
  EXPECT_EQ(order(e), (Keys{"c", "b"}));
  EXPECT_EQ(e.limit(), 6u);
  EXPECT_EQ(e.resize(0), 2u);
  expect_invariants(e);
  EXPECT_EQ(e.count(), 0u);
}

TEST(Engine, OverwriteCountsOldEntryUntilItIsRetired) {
  Engine e(100, {9, 9});
  put(e, "a", std::string(40, 'x'));
  put(e, "b", std::string(40, 'y'));
  put(e, "b", std::string(30, 'z'));  // 80 + 30 > 100: "a" is evicted first
  EXPECT_EQ(order(e), (Keys{"b"}));
  EXPECT_EQ(e.size(), 30u);
  EXPECT_EQ(find(e, "b")->data(), std::string(30, 'z'));
}

TEST(Engine, OldEntryCanBeItsOwnVictim) {
  Engine e(10, {1, 1});
  put(e, "a", "12345678");
  put(e, "a", "87654321");
  EXPECT_EQ(e.count(), 1u);
  EXPECT_EQ(e.size(), 8u);
  EXPECT_EQ(find(e, "a")->data(), "87654321");
}

TEST(Engine, OverwriteMovesKeyToHead) {
  Engine e(12, {2, 2});
  put(e, "a", "aaa");
  put(e, "b", "bbb");
  put(e, "c", "ccc");
  put(e, "a", "AAA");
  EXPECT_EQ(order(e), (Keys{"a", "c", "b"}));
  EXPECT_EQ(e.size(), 9u);
  put(e, "d", "dddddd");
  EXPECT_EQ(order(e), (Keys{"d", "a", "c"}));
}

TEST(Engine, KeysCompareByExactBytes) {
  Engine e(100, {3, 3});
  put(e, std::string("a\0b", 3), "1");
  put(e, "a", "2");
  put(e, "", "3");
  EXPECT_EQ(e.count(), 3u);
  EXPECT_EQ(find(e, std::string("a\0b", 3))->data(), "1");
  EXPECT_EQ(find(e, "")->data(), "3");
  EXPECT_EQ(find(e, std::string("a\0c", 3)), nullptr);
}

TEST(Engine, ManyKeysSurviveGrowthAndRemoval) {
  // Enough keys to force several table growths and long probe runs; removing
  // every other key exercises backward-shift deletion across wrap-around.
  Engine e(~std::uint64_t{0}, {11, 12});
  constexpr int kCount = 5000;
  for (int i = 0; i < kCount; ++i) put(e, "k" + std::to_string(i), std::to_string(i));
  for (int i = 0; i < kCount; i += 2) EXPECT_TRUE(remove(e, "k" + std::to_string(i)));
  expect_invariants(e);
  for (int i = 0; i < kCount; ++i) {
    const Entry* found = find(e, "k" + std::to_string(i));
    if (i % 2 == 0) {
      EXPECT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->data(), std::to_string(i));
    }
  }
}

TEST(Engine, ClearEmptiesAndAcceptsNewEntries) {
  Engine e(50, {4, 4});
  for (const char* k : {"a", "b", "c"}) put(e, k, "xx");
  e.clear();
  expect_invariants(e);
  EXPECT_EQ(e.count(), 0u);
  EXPECT_EQ(e.size(), 0u);
  EXPECT_EQ(find(e, "a"), nullptr);
  put(e, "d", "1");
  EXPECT_EQ(order(e), (Keys{"d"}));
}

TEST(Engine, BytesHeldCountEntriesAndTableAndClearReleasesBoth) {
  Engine e(1000, {9, 10});
  EXPECT_EQ(e.bytes_held(), 0u);
  put(e, "key", "[1,2]");
  const std::uint64_t table = e.bytes_held() - (Entry::kHeader + 3 + 5);
  EXPECT_GT(table, 0u);
  put(e, "k2", "7");
  EXPECT_EQ(e.bytes_held(), table + 2 * Entry::kHeader + 3 + 5 + 2 + 1);
  put(e, "key", "0");  // the replaced entry's bytes leave with it
  EXPECT_EQ(e.bytes_held(), table + 2 * Entry::kHeader + 3 + 1 + 2 + 1);
  e.clear();
  EXPECT_EQ(e.bytes_held(), 0u);
}

TEST(Engine, DestroyingMillionsOfEntriesKeepsTheStackFlat) {
  // Destruction walks the list in a loop; a recursive release would overflow
  // the stack long before this count (and ASan would report it).
  auto e = std::make_unique<Engine>(~std::uint64_t{0}, HashKey{5, 5});
  for (int i = 0; i < 2'000'000; ++i) {
    std::string k = std::to_string(i);
    e->commit_insert(e->prepare_insert(key_ref(k), "0"));
  }
  EXPECT_EQ(e->count(), 2'000'000u);
  e.reset();
}

TEST(Engine, KeysSharingAMapHashAreToldApartByTheirBytes) {
  // Every key under one hash: each lookup walks the same probe run, and
  // deletion must keep the rest of the run reachable.
  Engine e(1000, {3, 4});
  const std::uint64_t h = 42;
  const Keys keys{"a", "b", "ab", "", std::string("a\0", 2)};
  for (const std::string& k : keys) e.commit_insert(e.prepare_insert({k, h}, "1"));
  expect_invariants(e);
  EXPECT_EQ(e.count(), keys.size());
  EXPECT_TRUE(e.remove({"b", h}));
  EXPECT_EQ(e.find({"b", h}), nullptr);
  for (const std::string& k : {keys[0], keys[2], keys[3], keys[4]}) EXPECT_NE(e.find({k, h}), nullptr) << k;
  expect_invariants(e);
}

TEST(Expiry, TimedEntriesReadLikePlainOnesAndExpireEarliestFirst) {
  Engine e(100, {6, 7});
  put(e, "plain", "12345");
  EXPECT_EQ(e.next_deadline(), kNoDeadline);  // no timed entry: nothing is ever due
  put(e, "late", "678", 30);
  put(e, "early", "9", 10);
  put(e, "mid", "", 20);
  EXPECT_EQ(e.next_deadline(), 10);
  const Entry* late = find(e, "late");
  EXPECT_TRUE(late->timed());
  EXPECT_FALSE(find(e, "plain")->timed());
  EXPECT_EQ(late->size(), 3u);
  EXPECT_EQ(late->data(), "678");
  EXPECT_EQ(late->deadline(), 30);
  EXPECT_EQ(e.size(), 9u);
  EXPECT_EQ(e.expire(9), 0u);  // nothing due yet
  EXPECT_EQ(e.expire(20), 2u);  // a deadline is due at its own instant
  expect_invariants(e);
  EXPECT_EQ(order(e), (Keys{"late", "plain"}));
  EXPECT_EQ(e.size(), 8u);
  EXPECT_EQ(e.expire(kNoDeadline - 1), 1u);
  EXPECT_EQ(order(e), (Keys{"plain"}));
  EXPECT_EQ(e.next_deadline(), kNoDeadline);
}

TEST(Expiry, EveryWayOutTakesTheEntryOutOfTheHeap) {
  Engine e(9, {8, 9});
  put(e, "a", "aaa", 5);
  put(e, "b", "bbb", 3);
  put(e, "c", "ccc", 4);
  put(e, "a", "AAA");  // a plain insert over a timed entry takes its limit away
  EXPECT_EQ(e.timed_count(), 2u);
  EXPECT_TRUE(remove(e, "c"));
  expect_invariants(e);
  put(e, "d", "dddd", 1);  // evicts "b" from the tail
  EXPECT_EQ(order(e), (Keys{"d", "a"}));
  EXPECT_EQ(e.next_deadline(), 1);
  put(e, "d", "D", 7);  // overwrite, timed over timed
  EXPECT_EQ(e.next_deadline(), 7);
  e.clear();
  expect_invariants(e);
  EXPECT_EQ(e.next_deadline(), kNoDeadline);
  put(e, "e", "e", 2);
  EXPECT_EQ(e.expire(2), 1u);
  EXPECT_EQ(e.count(), 0u);
}

// Random inserts (plain and timed), overwrites, removals, promotions,
// evictions, resizes, clears and expiries against the invariants, and after each
// expiry: exactly the due entries left, and the count says how many.
TEST(Expiry, RandomOperationsKeepTheHeapConsistent) {
  std::mt19937_64 rng(14);
  Engine e(400, {10, 11});
  Deadline now = 0;
  auto pick = [&](std::uint64_t n) { return static_cast<std::size_t>(rng() % n); };
  for (int step = 0; step < 20000; ++step) {
    const std::string key = "k" + std::to_string(pick(60));
    switch (pick(10)) {
      case 0: put(e, key, std::string(pick(20), 'x')); break;
      case 1: case 2: case 3:
        put(e, key, std::string(pick(20), 'y'), now + 1 + static_cast<Deadline>(pick(100))); break;
      case 4: (void)remove(e, key); break;
      case 5: if (Entry* f = find(e, key)) e.move_to_front(f); break;
      case 6:
        if (pick(2) == 0) {
          e.evict_lru();
        } else {
          (void)e.resize(200 + pick(200));  // above every text drawn here
        }
        break;
      case 7: if (pick(50) == 0) e.clear(); break;
      default: {
        now += static_cast<Deadline>(pick(30));
        std::size_t due = 0;
        for (const Entry* n = e.head(); n != nullptr; n = n->next) due += n->deadline() <= now;
        EXPECT_EQ(e.expire(now), due);
        for (const Entry* n = e.head(); n != nullptr; n = n->next) ASSERT_GT(n->deadline(), now);
      }
    }
    ASSERT_EQ(e.check_invariants(), "") << "step " << step;
  }
}

TEST(KeyHash, MixDependsOnBothSecretsAndSpreadsLowBits) {
  const HashKey k{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  EXPECT_NE(keyed_mix(k, 1), keyed_mix({k.k0 + 1, k.k1}, 1));
  EXPECT_NE(keyed_mix(k, 1), keyed_mix({k.k0, k.k1 + 2}, 1));
  // Brought hashes differing only in high bits still land in distinct small
  // slots: the map indexes by the low bits of the mix.
  std::vector<std::uint64_t> low;
  for (std::uint64_t i = 0; i < 64; ++i) low.push_back(keyed_mix(k, i << 40) & 0xffff);
  std::sort(low.begin(), low.end());
  EXPECT_GT(std::unique(low.begin(), low.end()) - low.begin(), 60);
}

TEST(KeyHash, LaterCachesOnAThreadBumpTheFirstKey) {
  HashKey a = next_cache_hash_key();
  HashKey b = next_cache_hash_key();
  EXPECT_EQ(b.k0, a.k0 + 1);
  EXPECT_EQ(b.k1, a.k1);
}

}  // namespace
}  // namespace pelm
