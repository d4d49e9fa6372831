// Builds a message from pieces in one allocation. Used for every error text:
// besides being cheaper than chained operator+, it sidesteps g++ 12's false
// -Wrestrict/-Wstringop reports on `"literal" + std::string&&` at -O3.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace pelm {

[[nodiscard]] inline std::string concat(std::initializer_list<std::string_view> pieces) {
  std::size_t n = 0;
  for (std::string_view p : pieces) n += p.size();
  std::string out;
  out.reserve(n);
  for (std::string_view p : pieces) out.append(p);
  return out;
}

}  // namespace pelm
