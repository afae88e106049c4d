#include "ml/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using tessel::ml::detail::parallel_items;

TEST(Parallel, ConcurrentCallersShareTheHelpers) {
  // Several threads run parallel calls at once; one call throws. Each call
  // sees all of its own items once, worker ids stay below its thread count,
  // and only the throwing call reports the error.
  constexpr int kCallers = 4, kItems = 2000, kJobs = 3;
  std::vector<std::vector<std::atomic<int>>> seen;
  for (int c = 0; c < kCallers; ++c) seen.emplace_back(kItems);
  std::vector<int> outcome(kCallers, 0);  // 1 done, 2 threw
  std::atomic<bool> bad_worker{false};
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 20; ++round) {
        try {
          parallel_items(kItems, kJobs, [&](std::int64_t i, int w) {
            if (w < 0 || w >= kJobs) bad_worker = true;
            if (c == 0 && round == 19 && i == kItems / 2) throw std::runtime_error("item failed");
            ++seen[c][i];
          });
          outcome[c] = 1;
        } catch (const std::runtime_error&) {
          outcome[c] = 2;
        }
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_FALSE(bad_worker);
  EXPECT_EQ(outcome, (std::vector<int>{2, 1, 1, 1}));
  for (int c = 1; c < kCallers; ++c)
    for (int i = 0; i < kItems; ++i) ASSERT_EQ(seen[c][i], 20) << c << " " << i;
  for (int i = 0; i < kItems; ++i) ASSERT_GE(seen[0][i], 19) << i;
}
