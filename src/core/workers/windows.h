#pragma once
// The rolling request table of the traffic detectors and its cut into
// half-overlapping time windows.
//
// Rows are held batch by batch, the newest batch first and each batch in its
// own order ("table order"). A row whose key is already held replaces the
// held row (it moves up into the new batch); repeats within one batch keep
// their first row. Windows are cut on the rows' own timestamps: a window
// starts at the smallest timestamp held and is `interval` seconds long;
// after each window the rows stamped before its midpoint are dropped, so the
// next window starts at least interval/2 seconds later. Intake and trimming
// cost in proportion to the rows they touch, not to everything held; a
// window shares the held rows instead of copying them.
//
// Traits: `using Key = ...; struct Hash; static Key key(const Row&);
// static std::int64_t timestamp(const Row&);` A key may refer into its row:
// the row stays in place while it is held.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <list>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tessel::core {

// The rows of one window in table order. Copies share the rows.
template <class Row>
class Window {
 public:
  std::size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }
  const Row& operator[](std::size_t i) const { return *rows_[i]; }
  const std::vector<const Row*>& rows() const { return rows_; }
  auto begin() const { return rows_.begin(); }
  auto end() const { return rows_.end(); }

  // A window over rows the caller keeps alive (tests, benchmarks).
  static Window of(const std::vector<Row>& rows) {
    Window w;
    w.rows_.reserve(rows.size());
    for (const Row& r : rows) w.rows_.push_back(&r);
    return w;
  }

 private:
  template <class, class>
  friend class RollingWindows;
  std::vector<const Row*> rows_;
  std::vector<std::shared_ptr<const std::vector<Row>>> keep_;
};

template <class Row, class Traits>
class RollingWindows {
 public:
  using Key = typename Traits::Key;

  // `stime`: the time of the last cut; the first cut is due more than
  // interval/2 seconds after it.
  explicit RollingWindows(std::int64_t stime = 0) : stime_(stime) {}
  RollingWindows(const RollingWindows&) = delete;
  RollingWindows& operator=(const RollingWindows&) = delete;

  // Puts `batch` above the rows held.
  void intake(std::vector<Row> batch) {
    if (batch.empty()) return;
    held_.emplace_front();
    Held& h = held_.front();
    h.rows = std::make_shared<const std::vector<Row>>(std::move(batch));
    const std::vector<Row>& rows = *h.rows;
    h.dead.assign(rows.size(), false);
    h.hash.resize(rows.size());
    index_.reserve(size_ + rows.size());
    std::vector<Held*> emptied;
    for (std::uint32_t i = 0; i < rows.size(); ++i) {
      const Key key = Traits::key(rows[i]);
      const std::uint32_t hash = Index::fold(typename Traits::Hash()(key));
      h.hash[i] = hash;
      Slot& slot = index_.find_or_add(hash, [&key](const Slot& s) { return Traits::key(row(s)) == key; });
      if (slot.held == nullptr) {
        slot = Slot{&h, i, hash};
        continue;
      }
      if (slot.held == &h) {
        h.dead[i] = true;
        continue;
      }
      Held* old = slot.held;
      old->dead[slot.pos] = true;
      --old->alive;
      --size_;
      if (old->alive == 0) emptied.push_back(old);
      slot.held = &h;
      slot.pos = i;
    }
    h.by_ts.reserve(rows.size());
    for (std::uint32_t i = 0; i < rows.size(); ++i) {
      if (!h.dead[i]) h.by_ts.push_back(i);
    }
    std::stable_sort(h.by_ts.begin(), h.by_ts.end(), [&rows](std::uint32_t a, std::uint32_t b) {
      return Traits::timestamp(rows[a]) < Traits::timestamp(rows[b]);
    });
    h.tail = h.by_ts.size();
    h.alive = h.by_ts.size();
    size_ += h.alive;
    for (Held* e : emptied) erase(e);
  }

  // Rows held.
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Batches held (each with at least one row).
  std::size_t batches() const { return held_.size(); }
  // Whole UNIX seconds of the last cut.
  std::int64_t stime() const { return stime_; }

  // Smallest and largest timestamp held; the table must not be empty.
  std::int64_t min_timestamp() {
    need_rows();
    std::int64_t m = 0;
    bool first = true;
    for (Held& h : held_) {
      skip_dead(h);
      const std::int64_t t = ts(h, h.by_ts[h.head]);
      if (first || t < m) m = t;
      first = false;
    }
    return m;
  }
  std::int64_t max_timestamp() {
    need_rows();
    std::int64_t m = 0;
    bool first = true;
    for (Held& h : held_) {
      skip_dead(h);
      const std::int64_t t = ts(h, h.by_ts[h.tail - 1]);
      if (first || t > m) m = t;
      first = false;
    }
    return m;
  }

  // The cut, when due: rows are held and more than interval/2 seconds have
  // passed from the last cut to `now` (wall clock). The cut time moves to
  // `now` before the first window. `on_window(Window<Row>)` is called for
  // each window in time order; the rows it gets stay held until it returns,
  // so a window whose hand-over throws is cut again next time. Returns the
  // number of windows. `interval` must be at least 2.
  template <class F>
  std::size_t cut_if_due(std::int64_t now, std::int64_t interval, F&& on_window) {
    check_interval(interval);
    if (empty() || now - stime_ <= interval / 2) return 0;
    const std::int64_t lpts = max_timestamp() - interval / 2;
    stime_ = now;
    return cut_from(lpts, interval, on_window);
  }

  // The cut, whatever the time; the cut time does not move.
  template <class F>
  std::size_t cut(std::int64_t interval, F&& on_window) {
    check_interval(interval);
    if (empty()) return 0;
    return cut_from(max_timestamp() - interval / 2, interval, on_window);
  }

  // The rows stamped fts <= timestamp < lts, in table order.
  Window<Row> select(std::int64_t fts, std::int64_t lts) {
    Window<Row> w;
    std::vector<std::uint32_t> pos;
    for (Held& h : held_) {
      const std::vector<Row>& rows = *h.rows;
      auto first = h.by_ts.begin() + static_cast<std::ptrdiff_t>(h.head);
      auto last = h.by_ts.begin() + static_cast<std::ptrdiff_t>(h.tail);
      first = std::lower_bound(first, last, fts,
                               [&rows](std::uint32_t p, std::int64_t t) { return Traits::timestamp(rows[p]) < t; });
      last = std::lower_bound(first, last, lts,
                              [&rows](std::uint32_t p, std::int64_t t) { return Traits::timestamp(rows[p]) < t; });
      pos.clear();
      for (auto it = first; it != last; ++it) {
        if (!h.dead[*it]) pos.push_back(*it);
      }
      if (pos.empty()) continue;
      std::sort(pos.begin(), pos.end());
      for (std::uint32_t p : pos) w.rows_.push_back(&rows[p]);
      w.keep_.push_back(h.rows);
    }
    return w;
  }

  // Drops every row stamped before `t`.
  void drop_before(std::int64_t t) {
    for (auto it = held_.begin(); it != held_.end();) {
      Held& h = *it;
      const std::vector<Row>& rows = *h.rows;
      auto end = h.by_ts.begin() + static_cast<std::ptrdiff_t>(h.tail);
      auto stop = std::lower_bound(h.by_ts.begin() + static_cast<std::ptrdiff_t>(h.head), end, t,
                                   [&rows](std::uint32_t p, std::int64_t v) { return Traits::timestamp(rows[p]) < v; });
      const std::size_t new_head = static_cast<std::size_t>(stop - h.by_ts.begin());
      for (std::size_t k = h.head; k < new_head; ++k) {
        const std::uint32_t p = h.by_ts[k];
        if (h.dead[p]) continue;
        index_.erase(&h, p, h.hash[p]);
        --h.alive;
        --size_;
      }
      h.head = new_head;
      if (h.alive == 0) {
        it = held_.erase(it);
      } else {
        ++it;
      }
    }
    index_.fit(size_);
  }

 private:
  struct Held {
    std::shared_ptr<const std::vector<Row>> rows;
    std::vector<bool> dead;            // replaced by a newer row with the same key
    std::vector<std::uint32_t> hash;   // of each row's key, as kept in the index
    std::vector<std::uint32_t> by_ts;  // positions in timestamp order
    std::size_t head = 0;              // by_ts[0, head) are cut away
    std::size_t tail = 0;              // by_ts[tail, end) are dead
    std::size_t alive = 0;
  };
  // One live row in the key index.
  struct Slot {
    Held* held = nullptr;  // nullptr: a free slot
    std::uint32_t pos = 0;
    std::uint32_t hash = 0;
  };
  static const Row& row(const Slot& s) { return (*s.held->rows)[s.pos]; }

  // The live rows by key: open addressing with linear probing, at most half
  // full. A row leaves it by its place (held batch, position) and the hash
  // kept beside it, so dropping rows does not read them again.
  class Index {
   public:
    static std::uint32_t fold(std::size_t h) {
      return static_cast<std::uint32_t>(h) ^ static_cast<std::uint32_t>(static_cast<std::uint64_t>(h) >> 32);
    }
    // Room for `n` rows without growing.
    void reserve(std::size_t n) {
      if (n * 2 > slots_.size()) rebuild(n * 2);
    }
    // The slot of the row with this hash that `same` accepts, or the free
    // slot to put it in.
    template <class Same>
    Slot& find_or_add(std::uint32_t hash, Same&& same) {
      for (std::size_t i = home(hash);; i = (i + 1) & mask_) {
        Slot& s = slots_[i];
        if (s.held == nullptr) return s;
        if (s.hash == hash && same(s)) return s;
      }
    }
    void erase(const Held* held, std::uint32_t pos, std::uint32_t hash) {
      std::size_t i = home(hash);
      while (slots_[i].held != held || slots_[i].pos != pos) i = (i + 1) & mask_;
      // Backward shift: later slots of the run move up when their home
      // allows, so no run has a hole.
      for (std::size_t j = (i + 1) & mask_; slots_[j].held != nullptr; j = (j + 1) & mask_) {
        const std::size_t h = home(slots_[j].hash);
        if (((j - h) & mask_) >= ((j - i) & mask_)) {
          slots_[i] = slots_[j];
          i = j;
        }
      }
      slots_[i] = Slot{};
    }
    // Gives memory back once the index is mostly empty.
    void fit(std::size_t n) {
      if (slots_.size() > kMinSlots && n * 8 < slots_.size()) rebuild(n * 2);
    }

   private:
    static constexpr std::size_t kMinSlots = 1024;
    std::size_t home(std::uint32_t hash) const {
      return static_cast<std::size_t>((static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void rebuild(std::size_t want) {
      std::size_t cap = kMinSlots;
      while (cap < want) cap *= 2;
      std::vector<Slot> old(cap);
      old.swap(slots_);
      mask_ = cap - 1;
      shift_ = 64;
      for (std::size_t c = cap; c > 1; c /= 2) --shift_;
      for (const Slot& s : old) {
        if (s.held == nullptr) continue;
        std::size_t i = home(s.hash);
        while (slots_[i].held != nullptr) i = (i + 1) & mask_;
        slots_[i] = s;
      }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    int shift_ = 64;
  };

  static std::int64_t ts(const Held& h, std::uint32_t p) { return Traits::timestamp((*h.rows)[p]); }

  static void check_interval(std::int64_t interval) {
    if (interval < 2) throw std::invalid_argument("window interval below 2 seconds: " + std::to_string(interval));
  }
  void need_rows() const {
    if (empty()) throw std::logic_error("no rows held");
  }
  // A held batch has a live row, so both ends stop on one.
  static void skip_dead(Held& h) {
    while (h.dead[h.by_ts[h.head]]) ++h.head;
    while (h.dead[h.by_ts[h.tail - 1]]) --h.tail;
  }
  void erase(Held* h) {
    for (auto it = held_.begin(); it != held_.end(); ++it) {
      if (&*it == h) {
        held_.erase(it);
        return;
      }
    }
  }

  template <class F>
  std::size_t cut_from(std::int64_t lpts, std::int64_t interval, F& on_window) {
    const std::int64_t window = interval / 2;
    std::size_t n = 0;
    while (!empty()) {
      const std::int64_t fts = min_timestamp();
      Window<Row> w = select(fts, fts + interval);
      if (w.empty()) break;
      on_window(std::move(w));
      ++n;
      drop_before(fts + window);
      if (fts >= lpts) break;
    }
    return n;
  }

  std::list<Held> held_;  // front: newest batch
  Index index_;
  std::size_t size_ = 0;
  std::int64_t stime_ = 0;
};

}  // namespace tessel::core
