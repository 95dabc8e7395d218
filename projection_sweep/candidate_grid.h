// A uniform grid over a few columns that finds, for a row of the sweep, the rows of its window
// that can lie within the tolerance of it, at a cost that does not grow with the window. The
// rows are those of a block in sweep order: a row's sort position is its index in the block.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "base/config.h"
#include "base/huge_page_allocator.h"
#include "base/stop.h"

namespace rilo::internal {

// Most columns the grid files rows by; a query looks into at most 2 cells per column.
constexpr int kMaxGridColumns = 3;
// Each grid column beyond the first multiplies the cells a query looks into by 1.5 on average.
// It is taken only while the rows, spread evenly over the value ranges of the columns taken so
// far, would share their cells with more than this many others: a candidate costs a read at a
// random place in memory, an empty neighbour cell a hash and a look at the cached filter, about
// a tenth of that. Measured on 10^6 rows sharing their sum (m = 3 and 8).
constexpr double kMaxRowsPerCell = 1.0 / 16;
// Cell side in tolerances: 4 times (1 + 2^-7), the slack for rounding. Above 2, a row within the tolerance of another
// lies in the same or an adjacent cell in every grid column, and in the adjacent one only when
// the other lies within a quarter cell of that edge.
constexpr double kCellSideInTolerances = 4.0 + 4.0 / 128;
// How close to a cell edge (in cells) a row must lie for the neighbour across it to be looked
// into: a quarter cell (one tolerance at most) plus 2^-7, which covers the rounding of two cell
// coordinates (each errs by at most 2^-9 of a cell, see kMaxCellCoordinate).
constexpr double kEdgeReach = 0.25 + 0x1p-7;
// Cell coordinates (value / side, in double) are clamped to 2^44 in magnitude, so each errs by
// at most 2^44 * 2^-53 = 2^-9 of a cell and its floor fits an int64.
constexpr double kMaxCellCoordinate = 0x1p44;
// Rows sampled for the typical magnitude of a column's values: its 63/64 quantile there.
constexpr std::ptrdiff_t kMagnitudeSampleRows = 4096;
constexpr double kTypicalMagnitudeShare = 63.0 / 64;
// Values beyond this multiple of the typical magnitude are outliers: the cell side is chosen so
// that the others get cell coordinates below kMaxCellCoordinate, and the outliers' are clamped
// into the outermost cells. A few huge values (a sentinel such as 1e300 among values near 1)
// then leave the cells as narrow as the tolerance allows, rather than making one cell of all.
constexpr double kOutlierMagnitudeRatio = 16;
// Smallest cell side: a normal double, so that value / side keeps its relative accuracy.
constexpr double kMinCellSide = 0x1p-1000;
// Fewest hash slots; a power of two.
constexpr std::size_t kMinCellSlots = 1024;
// The table is emptied and the rows still ahead of the sweep filed again, rather than the table
// grown, when it holds more than this many cells per such row: at least half of its cells then
// hold only rows the sweep has passed.
constexpr std::size_t kStaleCellShare = 2;
// Positions ahead of the one being filed whose cell hash is computed and hash slot fetched:
// half the prefetch distance, so that the row, fetched a whole distance ahead, has arrived.
constexpr int kFileHashDistance = kPrefetchDistance / 2;
// Cell hashes kept for the positions being filed: a power of two above kFileHashDistance.
constexpr int kFileHashRing = 16;
// Bits of the filter of used cells per hash slot; a power of two. A neighbour cell, mostly
// empty where cells are sparse, is looked up only when its filter bit is set: 4 bits per slot
// (the table is at least half empty, so at most 1 bit in 8 is set) keep the filter at an
// eighth of the table's size, small enough to stay cached.
constexpr std::size_t kFilterBitsPerSlot = 4;

// floor(coordinate) for a cell coordinate, exactly, as an integer: truncation, less one below a
// negative non-integer (a library call per coordinate would cost more). A coordinate beyond
// kMaxCellCoordinate in magnitude (an outlier's, or an infinite one), or NaN, is first clamped
// into that range, so that the conversion is always defined. Two rows within the tolerance of
// each other still lie in the same or adjacent cells: both clamped, in the outermost cell; one
// clamped, within a quarter cell of the clamp, in the outermost cell and the one next to it.
inline std::int64_t CellFloor(double coordinate) {
  if (!(coordinate > -kMaxCellCoordinate)) coordinate = -kMaxCellCoordinate;
  if (!(coordinate < kMaxCellCoordinate)) coordinate = kMaxCellCoordinate;
  const auto truncated = static_cast<std::int64_t>(coordinate);
  return truncated - (coordinate < static_cast<double>(truncated));
}

// The lowest and highest value of each of the m columns of the n rows at `data` among the rows
// with only finite values, into `low` and `high` (m entries each; low > high for a column when
// no row has only finite values). Throws Stopped when `should_stop` says so.
template <typename T, typename Index, typename ShouldStop>
void FiniteColumnRanges(const T* data, Index n, Index m, std::vector<double>& low, std::vector<double>& high,
                        ShouldStop& should_stop) {
  low.assign(m, std::numeric_limits<double>::infinity());
  high.assign(m, -std::numeric_limits<double>::infinity());
  for (Index r = 0; r < n; ++r) {
    if (r % kStopPollInterval == 0) StopIfAsked(should_stop);
    const T* row = data + static_cast<std::ptrdiff_t>(r) * m;
    if (!std::all_of(row, row + m, [](T value) { return std::isfinite(value); })) continue;
    for (Index c = 0; c < m; ++c) {
      low[c] = std::min(low[c], static_cast<double>(row[c]));
      high[c] = std::max(high[c], static_cast<double>(row[c]));
    }
  }
}

// The largest magnitude of a value in [low, high]; 0 for an empty range (low > high).
inline double LargestMagnitude(double low, double high) { return low <= high ? std::max(-low, high) : 0.0; }

// True when `tolerance` gives cells a positive, finite side.
inline bool CellSideUsable(double tolerance) {
  const double side = tolerance * kCellSideInTolerances;
  return side > 0 && std::isfinite(side);
}

// The largest magnitude among the values of `column` of the n rows at `data` that is not an
// outlier (kOutlierMagnitudeRatio), given the `largest` magnitude of all its finite values.
template <typename T, typename Index>
double LargestBelowOutliers(const T* data, Index n, Index m, Index column, double largest) {
  const std::ptrdiff_t stride = std::max<std::ptrdiff_t>(1, n / kMagnitudeSampleRows);
  std::vector<double> sample;
  for (std::ptrdiff_t r = 0; r < n; r += stride) {
    const T* row = data + r * m;
    if (std::all_of(row, row + m, [](T value) { return std::isfinite(value); })) {
      sample.push_back(std::fabs(static_cast<double>(row[column])));
    }
  }
  if (sample.empty()) return largest;
  const auto typical = sample.begin() + static_cast<std::ptrdiff_t>(kTypicalMagnitudeShare * (sample.size() - 1));
  std::nth_element(sample.begin(), typical, sample.end());
  return std::min(largest, kOutlierMagnitudeRatio * *typical);
}

// The cell side for `tolerance` (CellSideUsable) over values whose magnitude, outliers aside,
// reaches `largest`: wide enough that a row within the tolerance of another lies in the same or
// an adjacent cell in every column, and that cell coordinates stay below kMaxCellCoordinate.
inline double CellSideFor(double tolerance, double largest) {
  return std::max({tolerance * kCellSideInTolerances, largest / kMaxCellCoordinate, kMinCellSide});
}

// The cell of a row: its cell number in each grid column (unused columns 0).
using CellNumber = std::array<std::int64_t, kMaxGridColumns>;

// A 64-bit hash of a cell number, never 0 (which marks an unused slot). Two cells that share a
// hash share a list: the grid then offers more candidates, never fewer.
inline std::uint64_t HashCell(const CellNumber& cell) {
  std::uint64_t hash = 0;
  for (const std::int64_t number : cell) {
    hash = (hash ^ static_cast<std::uint64_t>(number)) * 0x9E3779B97F4A7C15ull;
    hash ^= hash >> 29;
  }
  return hash == 0 ? 1 : hash;
}

// The list entry of a filed sort position: the next position in its cell and, when
// `InlineColumns` is not 0, a copy of this position's row values, so that a candidate's entry
// and its values share a cache line.
template <typename T, typename Index, int InlineColumns>
struct GridNode {
  Index next;
  std::array<T, InlineColumns> values;
};

// A list entry without a copy of the row (rows too wide to copy).
template <typename T, typename Index>
struct GridNode<T, Index, 0> {
  Index next;
};

// The sweep's rows filed by grid cell, for the windows too large to scan row by row. Rows enter
// in ascending sort position and are dropped lazily once the sweep has passed them, so every
// cell is a singly linked list of positions in ascending order. With `InlineColumns` (the row
// width, or 0) each list entry carries its row's values. Rows with values that are not finite
// are filed and offered like any other; the distance test refuses them. Filing, rebuilding
// and visiting poll `should_stop` as they go and throw Stopped when it says so: where windows
// hold most rows, one query files or visits millions of them.
template <typename T, typename Index, int InlineColumns, typename ShouldStop>
class CandidateGrid {
 public:
  // A grid for the n x m rows of `data`, in sweep order, under `tolerance`. Nothing is allocated
  // before the first query.
  CandidateGrid(const T* data, Index n, Index m, T tolerance, ShouldStop& should_stop)
      : data_(data), n_(n), m_(m), tolerance_(tolerance), should_stop_(should_stop), countdown_(should_stop) {}

  // True when the grid can answer queries: there is more than one column (with one, every row
  // of a window is within the tolerance in its only column anyway) and the tolerance gives a
  // positive, finite cell side.
  bool Usable() const {
    return m_ > 1 && CellSideUsable(static_cast<double>(tolerance_));
  }

  // Calls visit(position, values) for every sort position in (opening, window_end) whose row can
  // lie within the tolerance of the row at `opening`, in no particular order, `values` pointing
  // at the row's values (a copy when inline); the caller decides each by the distance test.
  // Assumes Usable() and that window_end never decreases between calls.
  template <typename Visit>
  void VisitCandidates(Index opening, Index window_end, Visit visit) {
    if (nodes_.empty()) Prepare();
    const Index unfiled = std::max(filed_end_, opening + 1);
    if (unfiled < window_end) {
      Reserve(opening, static_cast<std::size_t>(window_end - unfiled));
      FileUpTo(unfiled, window_end);
    }
    std::array<std::uint64_t, 1 << kMaxGridColumns> hashes;
    const int count = NearCells(opening, hashes);
    if (Filed(opening)) {
      VisitFrom(nodes_[opening].next, visit);
    } else {
      VisitCell(hashes[0], opening, visit);
    }
    for (int c = 1; c < count; ++c) {
      if (MayBeUsed(hashes[c])) VisitCell(hashes[c], opening, visit);
    }
  }

  // Starts loading what a query from sort position `position` + kPrefetchDistance will
  // read first, when that position is filed: the list entry that follows it in its cell and,
  // when rows are not inline, that entry's row (both named by the position's own entry, so
  // neither fetch waits for the other). Hints with no effect on results.
  void PrefetchAhead(Index position) const {
    const Index far = position + kPrefetchDistance;
    if (!Filed(far) || nodes_[far].next == kNone) return;
    PrefetchForRead(&nodes_[nodes_[far].next]);
    if constexpr (InlineColumns == 0) {
      PrefetchSpanForRead(data_ + static_cast<std::ptrdiff_t>(nodes_[far].next) * m_, m_ * sizeof(T));
    }
  }

 private:
  // One hash slot: a cell's hash (kUnused for an unused slot) and the first and last position
  // filed in it; head == kNone marks a cell whose positions have all been passed.
  struct Slot {
    std::uint64_t hash;
    Index head;
    Index tail;
  };
  using Node = GridNode<T, Index, InlineColumns>;
  static constexpr Index kNone = -1;
  static constexpr std::uint64_t kUnused = 0;

  // Chooses the grid columns (the widest spread of values among rows with only finite values,
  // ties to the lower column, as many as ColumnsNeeded) and the cell side, and allocates the
  // lists.
  void Prepare() {
    std::vector<double> low;
    std::vector<double> high;
    FiniteColumnRanges(data_, n_, m_, low, high, should_stop_);
    std::vector<Index> by_spread(m_);
    std::iota(by_spread.begin(), by_spread.end(), Index{0});
    std::stable_sort(by_spread.begin(), by_spread.end(), [&](Index a, Index b) {
      return high[a] - low[a] > high[b] - low[b];
    });
    const int most = static_cast<int>(std::min<Index>(m_ - 1, kMaxGridColumns));
    double largest = 0;
    for (int g = 0; g < most; ++g) {
      columns_[g] = by_spread[g];
      const double magnitude = LargestMagnitude(low[columns_[g]], high[columns_[g]]);
      largest = std::max(largest, LargestBelowOutliers(data_, n_, m_, columns_[g], magnitude));
    }
    side_ = CellSideFor(static_cast<double>(tolerance_), largest);
    grid_columns_ = ColumnsNeeded(most, low, high);
    nodes_.resize(n_);
  }

  // The fewest of the first `most` chosen columns over which all rows, spread evenly over each
  // column's range [low, high], would leave at most kMaxRowsPerCell rows per cell; `most` when
  // no fewer do. Assumes the cell side is set.
  int ColumnsNeeded(int most, const std::vector<double>& low, const std::vector<double>& high) const {
    double rows_per_cell = static_cast<double>(n_);
    for (int g = 0; g < most; ++g) {
      const double spread = high[columns_[g]] - low[columns_[g]];
      if (spread > side_) rows_per_cell *= side_ / spread;
      if (rows_per_cell <= kMaxRowsPerCell) return g + 1;
    }
    return most;
  }

  // Writes into `hashes` the hashes of the cells a row within the tolerance of row `row` can lie
  // in, and returns their number: its own cell first and, per grid column where it lies near an
  // edge, the neighbour across that edge, in every combination.
  int NearCells(Index row, std::array<std::uint64_t, 1 << kMaxGridColumns>& hashes) const {
    const T* values = data_ + static_cast<std::ptrdiff_t>(row) * m_;
    CellNumber home{};
    CellNumber step{};
    for (int g = 0; g < grid_columns_; ++g) {
      const double coordinate = static_cast<double>(values[columns_[g]]) / side_;
      home[g] = CellFloor(coordinate);
      const double within = coordinate - static_cast<double>(home[g]);
      step[g] = within < kEdgeReach ? -1 : (within > 1 - kEdgeReach ? 1 : 0);
    }
    int count = 0;
    for (int combination = 0; combination < (1 << grid_columns_); ++combination) {
      CellNumber cell = home;
      bool exists = true;
      for (int g = 0; g < grid_columns_ && exists; ++g) {
        if (combination & (1 << g)) {
          cell[g] += step[g];
          exists = step[g] != 0;
        }
      }
      if (exists) hashes[count++] = HashCell(cell);
    }
    return count;
  }

  // The hash of the cell of row `row`.
  std::uint64_t CellHashOf(Index row) const {
    const T* values = data_ + static_cast<std::ptrdiff_t>(row) * m_;
    CellNumber cell{};
    for (int g = 0; g < grid_columns_; ++g) {
      cell[g] = CellFloor(static_cast<double>(values[columns_[g]]) / side_);
    }
    return HashCell(cell);
  }

  // The index of the slot that holds cell hash `hash`, or of the unused slot where it belongs.
  std::size_t SlotIndex(std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = hash & mask;
    while (slots_[at].hash != kUnused && slots_[at].hash != hash) at = (at + 1) & mask;
    return at;
  }

  // The filter bit of cell hash `hash`, taken from the hash's upper half (the slot index uses
  // the lower bits).
  std::size_t FilterBit(std::uint64_t hash) const { return (hash >> 32) & (kFilterBitsPerSlot * slots_.size() - 1); }

  // False when no slot holds cell hash `hash`; true when one may.
  bool MayBeUsed(std::uint64_t hash) const {
    const std::size_t bit = FilterBit(hash);
    return (filter_[bit / 64] >> (bit % 64)) & 1;
  }

  // Marks cell hash `hash` as used in the filter.
  void MarkUsed(std::uint64_t hash) {
    const std::size_t bit = FilterBit(hash);
    filter_[bit / 64] |= std::uint64_t{1} << (bit % 64);
  }

  // The table size for `cells` cells: a power of two, at least kMinCellSlots, at most half full.
  static std::size_t SlotsFor(std::size_t cells) {
    std::size_t slots = kMinCellSlots;
    while (slots < 2 * cells) slots *= 2;
    return slots;
  }

  // Makes room for `cells` more cells, the sweep being at sort position `opening`. When the table
  // would have to grow while most of its cells can only hold positions up to `opening` (which no
  // later query visits), the positions after `opening` are filed afresh into a table sized for
  // them instead: a window that slides over many rows then keeps a table the size of the
  // window, and each refiling is paid for by the cells filed since the table last changed size.
  void Reserve(Index opening, std::size_t cells) {
    if (SlotsFor(used_slots_ + cells) <= slots_.size()) return;
    const Index live_begin = std::min(filed_end_, opening + 1);
    const auto live = static_cast<std::size_t>(filed_end_ - live_begin);
    if (used_slots_ > kStaleCellShare * live) {
      Refile(live_begin, SlotsFor(live + cells));
    } else {
      Rehash(SlotsFor(used_slots_ + cells));
    }
  }

  // Counts `steps` steps of work and throws Stopped when should_stop, polled once every
  // kStopPollInterval steps, says so.
  void CountSteps(std::ptrdiff_t steps = 1) {
    if (countdown_.Stopping(steps)) throw Stopped{};
  }

  // A table of `slots` unused slots, filled in steps.
  std::vector<Slot, HugePageAllocator<Slot>> EmptyTable(std::size_t slots) {
    std::vector<Slot, HugePageAllocator<Slot>> table(slots);
    for (std::size_t begin = 0; begin < slots; begin += kStopPollInterval) {
      CountSteps(kStopPollInterval);
      std::fill(table.begin() + begin, table.begin() + std::min(slots, begin + kStopPollInterval),
                Slot{kUnused, kNone, kNone});
    }
    return table;
  }

  // Moves the used cells into a table of `slots` slots, rebuilding the filter.
  void Rehash(std::size_t slots) {
    std::vector<Slot, HugePageAllocator<Slot>> old = EmptyTable(slots);
    old.swap(slots_);
    filter_.assign(kFilterBitsPerSlot * slots / 64, 0);
    for (const Slot& slot : old) {
      CountSteps();
      if (slot.hash == kUnused) continue;
      slots_[SlotIndex(slot.hash)] = slot;
      MarkUsed(slot.hash);
    }
  }

  // Empties the grid into a table of `slots` slots and files the positions from `begin` to the
  // end of the filed run again, in order.
  void Refile(Index begin, std::size_t slots) {
    const Index end = filed_end_;
    slots_ = EmptyTable(slots);
    filter_.assign(kFilterBitsPerSlot * slots / 64, 0);
    used_slots_ = 0;
    filed_end_ = begin;
    run_begin_ = begin;
    FileUpTo(begin, end);
  }

  // True when sort position `position` is filed: it lies in the run of positions filed since
  // the last gap (earlier runs lie before every opening still to come).
  bool Filed(Index position) const { return position >= run_begin_ && position < filed_end_; }

  // The list entry of `row` at the end of no list, with its values when they are inline.
  Node NodeOf(Index row) const {
    Node node{};
    node.next = kNone;
    if constexpr (InlineColumns > 0) {
      std::copy_n(data_ + static_cast<std::ptrdiff_t>(row) * m_, InlineColumns, node.values.data());
    }
    return node;
  }

  // The values of the row filed at `position`: the inline copy, or the row in the block.
  const T* ValuesOf(Index position) const {
    if constexpr (InlineColumns > 0) {
      return nodes_[position].values.data();
    } else {
      return data_ + static_cast<std::ptrdiff_t>(position) * m_;
    }
  }

  // Computes the cell hash of sort position `position` into `ahead` (indexed by position modulo
  // its size) and starts loading the hash slot and the filter word that filing it will use.
  void HashAhead(Index position, std::array<std::uint64_t, kFileHashRing>& ahead) const {
    const std::uint64_t hash = CellHashOf(position);
    ahead[position % kFileHashRing] = hash;
    PrefetchForRead(&slots_[hash & (slots_.size() - 1)]);
    PrefetchForRead(&filter_[FilterBit(hash) / 64]);
  }

  // Files the positions [begin, end) (each not filed since the table was last emptied) at the
  // tails of their cells. Assumes the table has room for their cells.
  void FileUpTo(Index begin, Index end) {
    if (begin >= end) return;
    if (begin > filed_end_) run_begin_ = begin;
    std::array<std::uint64_t, kFileHashRing> ahead;
    for (Index position = begin; position < std::min(end, begin + kFileHashDistance); ++position) {
      HashAhead(position, ahead);
    }
    for (Index position = begin; position < end; ++position) {
      CountSteps();
      if (position + kPrefetchDistance < end) {
        PrefetchSpanForRead(data_ + static_cast<std::ptrdiff_t>(position + kPrefetchDistance) * m_,
                            m_ * sizeof(T));
      }
      if (position + kFileHashDistance < end) HashAhead(position + kFileHashDistance, ahead);
      const std::uint64_t hash = ahead[position % kFileHashRing];
      Slot& slot = slots_[SlotIndex(hash)];
      nodes_[position] = NodeOf(position);
      if (slot.hash == kUnused) {
        slot = Slot{hash, position, position};
        MarkUsed(hash);
        ++used_slots_;
        continue;
      }
      if (slot.head == kNone) {
        slot.head = position;
      } else {
        nodes_[slot.tail].next = position;
      }
      slot.tail = position;
    }
    filed_end_ = std::max(filed_end_, end);
  }

  // Drops the positions up to `opening` from the front of the list of cell hash `hash` and
  // visits the rest.
  template <typename Visit>
  void VisitCell(std::uint64_t hash, Index opening, Visit& visit) {
    Slot& slot = slots_[SlotIndex(hash)];
    if (slot.hash == kUnused) return;
    while (slot.head != kNone && slot.head <= opening) {
      CountSteps();
      slot.head = nodes_[slot.head].next;
    }
    if (slot.head != kNone) VisitFrom(slot.head, visit);
  }

  // Visits the list from filed position `first` (kNone: an empty list) to its end.
  template <typename Visit>
  void VisitFrom(Index first, Visit& visit) {
    for (Index position = first; position != kNone; position = nodes_[position].next) {
      CountSteps();
      visit(position, ValuesOf(position));
    }
  }

  const T* data_;
  Index n_;
  Index m_;
  T tolerance_;
  ShouldStop& should_stop_;
  StopCountdown<ShouldStop> countdown_;
  int grid_columns_ = 0;
  std::array<Index, kMaxGridColumns> columns_{};
  double side_ = 0;
  // nodes_[q]: the list entry of sort position q, once filed.
  std::vector<Node, HugePageAllocator<Node>> nodes_;
  std::vector<Slot, HugePageAllocator<Slot>> slots_;
  // Bit FilterBit(h) is set for the hash h of every used slot.
  std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> filter_;
  std::size_t used_slots_ = 0;
  // Every position below this was either filed or skipped for good.
  Index filed_end_ = 0;
  // The first position of the run of filed positions that ends at filed_end_.
  Index run_begin_ = 0;
};

}  // namespace rilo::internal
