#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "orvik/classify/models.h"

namespace tessel::orvik {
namespace {

// A label derived from the value, so that any answer can be checked.
std::int64_t label_of(const std::string& v) { return static_cast<std::int64_t>(v.size() % 2); }

// Far more values than a table holds: the cache answers each with its label
// or with "not known", never with another value's label; the values put
// last are known; zones and long values are kept apart.
TEST(PredictionCache, BoundedAndNeverWrong) {
  PredictionCache cache;
  std::vector<std::string> values;
  for (int i = 0; i < 400000; ++i) values.push_back("v" + std::to_string(i * 7919LL) + std::string(i % 5, 'x'));
  for (const auto& v : values) {
    EXPECT_EQ(cache.find("args", v), -1);
    cache.put("args", v, label_of(v));
  }
  std::size_t known = 0;
  for (const auto& v : values) {
    const int l = cache.find("args", v);
    if (l >= 0) {
      ASSERT_EQ(l, label_of(v)) << v;
      ++known;
    }
    EXPECT_EQ(cache.find("cookie", v), -1) << v;
  }
  EXPECT_GT(known, 0u);
  EXPECT_LT(known, values.size());
  EXPECT_EQ(cache.find("args", values.back()), label_of(values.back()));

  // Values of every length kept, so that keys fill their blocks to the end.
  PredictionCache sized;
  std::vector<std::string> lengths;
  for (int i = 0; i < 3000; ++i) lengths.push_back(std::to_string(i) + std::string((i * 37) % 510, 'y'));
  for (const auto& v : lengths) sized.put("body", v, label_of(v));
  for (const auto& v : lengths) {
    const int l = sized.find("body", v);
    EXPECT_TRUE(l == -1 || l == label_of(v)) << v.size();
  }
  EXPECT_EQ(sized.find("body", lengths.back()), label_of(lengths.back()));

  const std::string long_value(600, 'a');
  cache.put("args", long_value, 1);
  EXPECT_EQ(cache.find("args", long_value), -1);
  cache.put("ua", "", 1);
  EXPECT_EQ(cache.find("ua", ""), 1);
  EXPECT_EQ(cache.find("u", std::string("a\0", 2)), -1);
}

// Labels put by one thread reach the others through the shared table; each
// thread's own copy gives the same labels.
TEST(PredictionCache, SharedBetweenThreads) {
  PredictionCache cache;
  std::vector<std::string> values;
  for (int i = 0; i < 2000; ++i) values.push_back("value-" + std::to_string(i));
  for (const auto& v : values) cache.put("url", v, label_of(v));
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 2; ++round)
        for (const auto& v : values) wrong[t] += cache.find("url", v) != label_of(v);
    });
  for (auto& th : threads) th.join();
  for (int w : wrong) EXPECT_EQ(w, 0);
}

}  // namespace
}  // namespace tessel::orvik
