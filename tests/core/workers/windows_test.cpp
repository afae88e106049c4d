#include "core/workers/windows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/workers/window_workers.h"
#include "support/log_capture.h"

using namespace tessel;
using namespace tessel::core;
using namespace std::chrono_literals;

namespace {

struct Row {
  std::string id;
  std::int64_t ts = 0;
};

struct RowTraits {
  using Key = std::string_view;
  using Hash = std::hash<std::string_view>;
  static Key key(const Row& r) { return r.id; }
  static std::int64_t timestamp(const Row& r) { return r.ts; }
};

using Rolling = RollingWindows<Row, RowTraits>;

std::vector<Row> stamped(std::int64_t from, std::int64_t to, const std::string& tag = "r") {
  std::vector<Row> rows;
  for (std::int64_t t = from; t <= to; ++t) rows.push_back({tag + std::to_string(t), t});
  return rows;
}

std::vector<Row> concat(std::vector<Row> a, const std::vector<Row>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Cut {
  std::int64_t first, last;
  std::size_t rows;
  bool operator==(const Cut&) const = default;
};

std::vector<Cut> cut_all(Rolling& r, std::int64_t interval) {
  std::vector<Cut> out;
  r.cut(interval, [&](Window<Row> w) {
    std::int64_t lo = w[0].ts, hi = w[0].ts;
    for (const Row* x : w) lo = std::min(lo, x->ts), hi = std::max(hi, x->ts);
    out.push_back({lo, hi, w.size()});
  });
  return out;
}

std::vector<std::string> ids(const Window<Row>& w) {
  std::vector<std::string> out;
  for (const Row* r : w) out.push_back(r->id);
  return out;
}

}  // namespace

// Windows of `interval` seconds stepping by at least interval/2 from the
// oldest row held; what stays held afterwards.
TEST(RollingWindows, CutsHalfOverlappingWindows) {
  struct Case {
    const char* name;
    std::vector<Row> rows;
    std::int64_t interval;
    std::vector<Cut> windows;
    std::size_t left;
  };
  const Case cases[] = {
      {"steady", stamped(1000, 1064), 120, {{1000, 1064, 65}, {1060, 1064, 5}}, 0},
      {"backlog",
       stamped(1000, 1300),
       120,
       {{1000, 1119, 120}, {1060, 1179, 120}, {1120, 1239, 120}, {1180, 1299, 120}, {1240, 1300, 61}},
       1},
      {"gap", concat(stamped(1000, 1010), stamped(1200, 1210)), 120, {{1000, 1010, 11}, {1200, 1210, 11}}, 0},
      {"one timestamp", {{"a", 5}, {"b", 5}, {"c", 5}}, 120, {{5, 5, 3}}, 0},
      {"bf seconds",
       stamped(0, 100),
       30,
       {{0, 29, 30}, {15, 44, 30}, {30, 59, 30}, {45, 74, 30}, {60, 89, 30}, {75, 100, 26}, {90, 100, 11}},
       0},
      {"bf sparse", {{"a", 0}, {"b", 50}, {"c", 100}}, 30, {{0, 0, 1}, {50, 50, 1}, {100, 100, 1}}, 0},
      {"bf last at lpts", {{"a", 0}, {"b", 15}}, 30, {{0, 15, 2}}, 1},
      {"odd interval", stamped(0, 121), 121, {{0, 120, 121}, {60, 121, 62}, {120, 121, 2}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rolling r;
    r.intake(c.rows);
    EXPECT_EQ(cut_all(r, c.interval), c.windows);
    EXPECT_EQ(r.size(), c.left);
  }
}

TEST(RollingWindows, RowsLeftAtTheLastWindowOpenTheNextCut) {
  Rolling r;
  r.intake({{"a", 0}, {"b", 15}});
  ASSERT_EQ(cut_all(r, 30).size(), 1u);
  EXPECT_EQ(cut_all(r, 30), (std::vector<Cut>{{15, 15, 1}}));
  EXPECT_TRUE(r.empty());
}

// Bounds: fts is in the window, fts + interval is not; a row at the
// midpoint stays held.
TEST(RollingWindows, WindowBounds) {
  Rolling r;
  r.intake({{"fts", 100}, {"mid", 160}, {"lts", 220}, {"late", 400}});
  std::vector<std::vector<std::string>> seen;
  r.cut(120, [&](Window<Row> w) { seen.push_back(ids(w)); });
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0], (std::vector<std::string>{"fts", "mid"}));
  EXPECT_EQ(seen[1], (std::vector<std::string>{"mid", "lts"}));
}

// The newest batch stands first; a re-sent key replaces the held row at the
// new batch's place; repeats in one batch keep their first row.
TEST(RollingWindows, IntakeOrderAndReplacement) {
  Rolling r;
  r.intake({{"R1", 10}, {"R2", 11}});
  r.intake({{"R3", 12}, {"R1", 13}, {"R3", 14}});
  EXPECT_EQ(r.size(), 3u);
  std::vector<std::string> order;
  std::vector<std::int64_t> stamps;
  r.cut(120, [&](Window<Row> w) {
    order = ids(w);
    for (const Row* x : w) stamps.push_back(x->ts);
  });
  EXPECT_EQ(order, (std::vector<std::string>{"R3", "R1", "R2"}));
  EXPECT_EQ(stamps, (std::vector<std::int64_t>{12, 13, 11}));
  EXPECT_TRUE(r.empty());
  // A key cut away may come again as a new row.
  r.intake({{"R1", 20}});
  EXPECT_EQ(r.size(), 1u);
}

// A batch whose every row was replaced is dropped; replacement across many
// batches keeps the count right.
TEST(RollingWindows, ReplacedBatchesAreDropped) {
  Rolling r;
  for (int b = 0; b < 50; ++b) r.intake({{"same", b}, {"own" + std::to_string(b), b}});
  EXPECT_EQ(r.size(), 51u);
  EXPECT_EQ(r.batches(), 50u);
  EXPECT_EQ(r.min_timestamp(), 0);
  EXPECT_EQ(r.max_timestamp(), 49);
  r.intake({{"same", 100}});
  EXPECT_EQ(r.max_timestamp(), 100);
  EXPECT_EQ(r.size(), 51u);
}

// Keys whose hashes collide in long runs, over many rounds of intake,
// replacement and trimming: the held rows always equal a plain model of the
// table (newest batch first, one row per key).
struct CrowdedTraits {
  using Key = std::string_view;
  struct Hash {
    std::size_t operator()(std::string_view k) const noexcept { return std::hash<std::string_view>()(k) % 512; }
  };
  static Key key(const Row& r) { return r.id; }
  static std::int64_t timestamp(const Row& r) { return r.ts; }
};

TEST(RollingWindows, HeldRowsFollowTheModelUnderCollisions) {
  RollingWindows<Row, CrowdedTraits> r;
  std::vector<std::vector<Row>> model;  // newest batch first, live rows only
  std::set<std::string> live;
  std::uint64_t seed = 12345;
  auto next = [&seed](std::uint64_t n) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return (seed >> 33) % n;
  };
  for (std::int64_t round = 0; round < 300; ++round) {
    std::vector<Row> batch;
    const std::size_t n = next(400);
    for (std::size_t i = 0; i < n; ++i)
      batch.push_back({"k" + std::to_string(next(20000)), round * 10 + static_cast<std::int64_t>(next(30))});
    std::vector<Row> kept;
    for (const Row& x : batch) {
      bool repeat = false;
      for (const Row& k : kept) repeat = repeat || k.id == x.id;
      if (repeat) continue;
      kept.push_back(x);
      if (!live.insert(x.id).second)
        for (auto& b : model) std::erase_if(b, [&x](const Row& o) { return o.id == x.id; });
    }
    if (!kept.empty()) model.insert(model.begin(), kept);
    r.intake(std::move(batch));
    if (round % 7 == 6) {
      // Now and then everything goes, so the index also shrinks.
      const std::int64_t t = round % 50 == 48 ? round * 10 + 100 : round * 10 - 40;
      r.drop_before(t);
      for (auto& b : model) std::erase_if(b, [&](const Row& o) { return o.ts < t && live.erase(o.id) > 0; });
    }
    std::erase_if(model, [](const std::vector<Row>& b) { return b.empty(); });
    std::vector<std::string> want;
    for (const auto& b : model)
      for (const Row& x : b) want.push_back(x.id);
    ASSERT_EQ(r.size(), want.size()) << "round " << round;
    ASSERT_EQ(r.batches(), model.size()) << "round " << round;
    ASSERT_EQ(ids(r.select(std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max())), want)
        << "round " << round;
  }
}

TEST(RollingWindows, CutDecisionOnTheWallClock) {
  Rolling r(1000);
  r.intake(stamped(1000, 1064));
  auto count = [](Window<Row>) {};
  EXPECT_EQ(r.cut_if_due(1060, 120, count), 0u);  // 60 is not more than 60
  EXPECT_EQ(r.stime(), 1000);
  EXPECT_EQ(r.cut_if_due(1061, 120, count), 2u);
  EXPECT_EQ(r.stime(), 1061);
  Rolling idle(1000);
  EXPECT_EQ(idle.cut_if_due(5000, 120, count), 0u);  // nothing held: the cut time stays
  EXPECT_EQ(idle.stime(), 1000);
}

TEST(RollingWindows, IntervalBelowTwoIsRefused) {
  Rolling r;
  r.intake(stamped(0, 10));
  for (std::int64_t bad : {1, 0, -5}) {
    EXPECT_THROW(r.cut(bad, [](Window<Row>) {}), std::invalid_argument);
  }
  EXPECT_EQ(r.size(), 11u);
}

// A hand-over that throws leaves its window's rows held; the windows before
// it stay cut.
TEST(RollingWindows, FailedHandOverKeepsItsRows) {
  Rolling r(0);
  r.intake(stamped(1000, 1300));
  int calls = 0;
  EXPECT_THROW(r.cut_if_due(100, 120,
                            [&](Window<Row>) {
                              if (++calls == 2) throw std::runtime_error("no thread");
                            }),
               std::runtime_error);
  EXPECT_EQ(r.stime(), 100);
  EXPECT_EQ(r.min_timestamp(), 1060);
  EXPECT_EQ(r.size(), 241u);
}

// Windows outlive the table and later intakes.
TEST(RollingWindows, WindowsShareRowsSafely) {
  std::vector<Window<Row>> kept;
  {
    Rolling r;
    r.intake(stamped(0, 9, "a"));
    r.cut(4, [&](Window<Row> w) { kept.push_back(std::move(w)); });
    r.intake(stamped(0, 9, "b"));
  }
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(kept.front()[0].id, "a0");
}

namespace {

WorkerTexts texts() {
  return {"test_worker", "Test analysis",
          [](long pid, std::int64_t secs, std::size_t rows) {
            return "Test analysis: process " + std::to_string(pid) + " takes more than " + std::to_string(secs) +
                   " sec. (" + std::to_string(rows) + " request(s))";
          },
          9};
}

}  // namespace

// A backlog of many windows: at most max_running at a time, each window
// analysed once, every entry reaped.
TEST(WindowWorkers, BoundedAndEachWindowOnce) {
  tessel::testing::LogCapture cap;
  auto clock = std::make_shared<VirtualClock>(0);
  WindowWorkers workers(texts(), cap.sink(), clock, 3);
  std::atomic<int> now{0}, peak{0};
  std::vector<std::atomic<int>> done(60);
  for (int i = 0; i < 60; ++i) {
    workers.submit(10, [&, i](std::stop_token) {
      const int n = ++now;
      int p = peak.load();
      while (n > p && !peak.compare_exchange_weak(p, n)) {
      }
      std::this_thread::sleep_for(1ms);
      ++done[i];
      --now;
    });
  }
  ASSERT_TRUE(workers.wait_idle(30s));
  for (auto& d : done) EXPECT_EQ(d.load(), 1);
  EXPECT_LE(peak.load(), 3);
  workers.housekeeping(120);
  EXPECT_EQ(workers.entries(), 0u);
}

TEST(WindowWorkers, HousekeepingWarnsAboutSlowWorkers) {
  tessel::testing::LogCapture cap;
  auto clock = std::make_shared<VirtualClock>(1000);
  WindowWorkers workers(texts(), cap.sink(), clock, 1);
  std::atomic<bool> release{false};
  workers.submit(7, [&](std::stop_token st) {
    while (!release && !st.stop_requested()) std::this_thread::sleep_for(1ms);
  });
  workers.submit(3, [](std::stop_token) {});
  EXPECT_EQ(workers.waiting(), 1u);
  clock->advance_s(360);  // exactly 3 × interval: not slow
  workers.housekeeping(120);
  EXPECT_TRUE(cap.take().empty());
  clock->advance_s(1);
  workers.housekeeping(120);
  auto lines = cap.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("warn/os: Test analysis: process "), std::string::npos);
  EXPECT_NE(lines[0].find(" takes more than 361 sec. (7 request(s))"), std::string::npos);
  release = true;
  ASSERT_TRUE(workers.wait_idle(10s));
  // Idle means no analysis runs; a worker's thread may still be ending.
  for (int i = 0; i < 1000 && workers.entries() > 0; ++i) {
    workers.housekeeping(120);
    if (workers.entries() > 0) std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(workers.entries(), 0u);
}

TEST(WindowWorkers, StopDropsWaitingWindows) {
  tessel::testing::LogCapture cap;
  WindowWorkers workers(texts(), cap.sink(), std::make_shared<VirtualClock>(0), 1);
  std::atomic<int> ran{0};
  workers.submit(1, [&](std::stop_token st) {
    ++ran;
    while (!st.stop_requested()) std::this_thread::sleep_for(1ms);
  });
  for (int i = 0; i < 5; ++i) workers.submit(1, [&](std::stop_token) { ++ran; });
  workers.stop(5s);
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(workers.running(), 0u);
  EXPECT_EQ(cap.take(), std::vector<std::string>{"warn/os: Test analysis: 5 window(s) not analysed at stop"});
}

// Windows queued or running when the workers stop are finished within the
// wait; later ones are not taken.
TEST(WindowWorkers, StopFinishesTheWindowsAlreadyQueued) {
  tessel::testing::LogCapture cap;
  WindowWorkers workers(texts(), cap.sink(), std::make_shared<VirtualClock>(0), 2);
  std::atomic<int> ran{0};
  for (int i = 0; i < 20; ++i) {
    workers.submit(1, [&](std::stop_token) {
      std::this_thread::sleep_for(2ms);
      ++ran;
    });
  }
  workers.stop(30s);
  EXPECT_EQ(ran.load(), 20);
  workers.submit(1, [&](std::stop_token) { ++ran; });
  EXPECT_EQ(workers.entries(), 0u);
  EXPECT_EQ(ran.load(), 20);
  EXPECT_TRUE(cap.take().empty());
}
