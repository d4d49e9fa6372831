// The shape memo's contract, with keys whose holds are counted: a shape is
// found only with the names it was remembered with, nothing stays held after
// a call ends, and names that might not fit are refused, not written past.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/member_order.hpp"
#include "codec/shape_memo.hpp"

namespace pelm::codec {
namespace {

// Keys are small integers; holds are counted per key.
std::map<int, int>& holds() {
  static std::map<int, int> counts;
  return counts;
}

struct CountedKeys {
  using Key = int;
  static constexpr bool kCanHold = true;
  static void hold(int key) noexcept { ++holds()[key]; }
  static void release(int key) noexcept { --holds()[key]; }
};

using Memo = ShapeMemo<CountedKeys, 2>;

int total_holds() {
  int n = 0;
  for (const auto& [key, count] : holds()) n += count;
  return n;
}

// The order a sort gives, as the converters remember it.
std::vector<std::uint32_t> sorted_order(const std::vector<std::string>& names) {
  MemberSortKey keys[kSmallObject];
  sort_small_object(
      names.size(), [&](std::size_t i) { return std::string_view(names[i]); },
      [&](std::size_t i) { return name_prefix(names[i].data(), names[i].size()); }, keys);
  std::vector<std::uint32_t> order;
  for (std::size_t i = 0; i < names.size(); ++i) order.push_back(keys[i].index);
  return order;
}

std::size_t remember(Memo& memo, const std::vector<int>& keys, const std::vector<std::string>& names) {
  const std::vector<std::uint32_t> order = sorted_order(names);
  return memo.remember(keys.data(), order.data(), keys.size(),
                       [&](std::size_t i) { return std::string_view(names[order[i]]); });
}

std::size_t find(Memo& memo, const std::vector<int>& keys, const std::vector<std::string>& names) {
  return memo.find(keys.data(), keys.size(), [&](std::size_t i) { return std::optional<std::string_view>(names[i]); });
}

TEST(ShapeMemo, FindsAShapeByItsKeysAndNamesAndGivesItsSortedWrittenNames) {
  Memo memo;
  const std::vector<int> keys = {1, 2, 3};
  const std::vector<std::string> names = {"b", "a\n", "ab"};
  const std::size_t slot = remember(memo, keys, names);
  ASSERT_NE(slot, Memo::kNone);
  memo.end_call();
  ASSERT_EQ(find(memo, keys, names), slot);
  std::string written;
  for (std::size_t i = 0; i < keys.size(); ++i) written += memo.name_text(slot, i);
  EXPECT_EQ(written, R"("a\n":"ab":"b":)");
  EXPECT_EQ(memo.order(slot, 0), 1u);
  // The same keys with another name (a key's identity reused between
  // calls), or in another order, are not the shape.
  memo.end_call();
  EXPECT_EQ(find(memo, keys, {"b", "a\n", "ac"}), Memo::kNone);
  EXPECT_EQ(find(memo, {2, 1, 3}, {"a\n", "b", "ab"}), Memo::kNone);
  memo.end_call();
}

TEST(ShapeMemo, HoldsKeysOnlyWithinACall) {
  {
    Memo memo;
    const std::vector<int> keys = {1, 2};
    const std::vector<std::string> names = {"x", "y"};
    remember(memo, keys, names);
    EXPECT_EQ(total_holds(), 2);
    memo.end_call();
    EXPECT_EQ(total_holds(), 0);
    // Confirmed by names once in a call: not held; twice: held until the end.
    find(memo, keys, names);
    EXPECT_EQ(total_holds(), 0);
    find(memo, keys, names);
    EXPECT_EQ(total_holds(), 2);
    memo.end_call();
    EXPECT_EQ(total_holds(), 0);
    remember(memo, {3}, {"z"});
  }
  // The memo's end releases what its last call held.
  EXPECT_EQ(total_holds(), 0);
}

TEST(ShapeMemo, ReplacesTheLeastRecentlyUsedShapeAndMarksTheSlotChanged) {
  Memo memo;
  const std::size_t a = remember(memo, {1}, {"a"});
  const std::size_t b = remember(memo, {2}, {"b"});
  ASSERT_NE(a, b);
  ASSERT_EQ(find(memo, {1}, {"a"}), a);
  const std::uint64_t generation = memo.generation(b);
  EXPECT_EQ(remember(memo, {3}, {"c"}), b);
  EXPECT_NE(memo.generation(b), generation);
  EXPECT_EQ(find(memo, {2}, {"b"}), Memo::kNone);
  memo.end_call();
}

// Escaping can make a name six times longer: a shape whose written names
// might pass the memo's room is refused, and the slot forgets what it held.
TEST(ShapeMemo, RefusesNamesThatMightNotFit) {
  Memo memo;
  const std::size_t most = (Memo::kMaxText - 3) / 6;
  EXPECT_NE(remember(memo, {1}, {std::string(most, '\x01')}), Memo::kNone);
  // The first name leaves 5 bytes, below what even "b" might take (9).
  EXPECT_EQ(remember(memo, {1, 2}, {std::string(most, '\x01'), "b"}), Memo::kNone);
  EXPECT_EQ(find(memo, {1, 2}, {std::string(most, '\x01'), "b"}), Memo::kNone);
  EXPECT_NE(remember(memo, {1, 2}, {"", ""}), Memo::kNone);
  memo.end_call();
  EXPECT_EQ(total_holds(), 0);
}

}  // namespace
}  // namespace pelm::codec
