// A uniform grid over a few columns that finds, for a row of the sweep, the rows of its window
// that can lie within the tolerance of it, at a cost that does not grow with the window.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "base/config.h"

namespace rilo::internal {

// Most columns the grid files rows by; a query looks into at most 2 cells per column.
constexpr int kMaxGridColumns = 3;
// Cell side in tolerances: 4 plus a 2^-7 slack. Above 2, a row within the tolerance of another
// lies in the same or an adjacent cell in every grid column, and in the adjacent one only when
// the other lies within a quarter cell of that edge.
constexpr double kCellSideInTolerances = 4.0 + 4.0 / 128;
// How close to a cell edge (in cells) a row must lie for the neighbour across it to be looked
// into: a quarter cell (one tolerance at most) plus 2^-7, which covers the rounding of two cell
// coordinates (each errs by at most 2^-9 of a cell, see kMaxCellCoordinate).
constexpr double kEdgeReach = 0.25 + 0x1p-7;
// Cell coordinates (value / side, in double) stay below 2^44 in magnitude, so each errs by at
// most 2^44 * 2^-53 = 2^-9 of a cell and its floor fits an int64.
constexpr double kMaxCellCoordinate = 0x1p44;
// Smallest cell side: a normal double, so that value / side keeps its relative accuracy.
constexpr double kMinCellSide = 0x1p-1000;
// Initial number of hash slots; a power of two.
constexpr std::size_t kInitialCellSlots = 1024;

// The cell of a row: its cell number in each grid column (unused columns 0).
using CellNumber = std::array<std::int64_t, kMaxGridColumns>;

// Spreads the bits of a cell number over a 64-bit hash.
inline std::uint64_t HashCell(const CellNumber& cell) {
  std::uint64_t hash = 0;
  for (const std::int64_t number : cell) {
    hash = (hash ^ static_cast<std::uint64_t>(number)) * 0x9E3779B97F4A7C15ull;
    hash ^= hash >> 29;
  }
  return hash;
}

// The sweep's rows filed by grid cell, for the windows too large to scan row by row. Rows enter
// in ascending sort position and are dropped lazily once the sweep has passed them, so every
// cell is a singly linked list of positions in ascending order. Assumes that every row the sweep
// asks about has only finite coordinates (rows with a finite projection do).
template <typename T, typename Index>
class CandidateGrid {
 public:
  // A grid for the n x m rows of `data`, visited in the sort order `order` (n positions), under
  // `tolerance`. Nothing is allocated before the first query.
  CandidateGrid(const T* data, Index n, Index m, const Index* order, T tolerance)
      : data_(data), n_(n), m_(m), order_(order), tolerance_(tolerance) {}

  // True when the grid can answer queries: there is more than one column (with one, every row
  // of a window is within the tolerance in its only column anyway) and the tolerance gives a
  // positive, finite cell side.
  bool Usable() const {
    const double side = static_cast<double>(tolerance_) * kCellSideInTolerances;
    return m_ > 1 && side > 0 && std::isfinite(side);
  }

  // Calls visit(position) for every position q in (opening, window_end) whose row can lie within
  // the tolerance of the row at `opening`, in no particular order; the caller decides each by
  // the distance test. Assumes Usable() and that window_end never decreases between calls.
  template <typename Visit>
  void VisitCandidates(Index opening, Index window_end, Visit visit) {
    if (next_.empty()) Prepare();
    FileUpTo(std::max(filed_end_, opening + 1), window_end);
    const T* row = data_ + static_cast<std::ptrdiff_t>(order_[opening]) * m_;
    CellNumber home{};
    CellNumber step{};
    for (int g = 0; g < grid_columns_; ++g) {
      const double coordinate = static_cast<double>(row[columns_[g]]) / side_;
      const double floor = std::floor(coordinate);
      home[g] = static_cast<std::int64_t>(floor);
      const double within = coordinate - floor;
      step[g] = within < kEdgeReach ? -1 : (within > 1 - kEdgeReach ? 1 : 0);
    }
    // Every combination of the home cell and, per column, the neighbour across the near edge.
    for (int combination = 0; combination < (1 << grid_columns_); ++combination) {
      CellNumber cell = home;
      bool exists = true;
      for (int g = 0; g < grid_columns_ && exists; ++g) {
        if (combination & (1 << g)) {
          cell[g] += step[g];
          exists = step[g] != 0;
        }
      }
      if (exists) VisitCell(cell, opening, visit);
    }
  }

 private:
  // One hash slot: a cell and the first and last position filed in it. tail == kNone marks an
  // unused slot; head == kNone a cell whose positions have all been passed.
  struct Slot {
    CellNumber cell;
    Index head;
    Index tail;
  };
  static constexpr Index kNone = -1;

  // Chooses the grid columns (the widest spread of values among rows with only finite values,
  // ties to the lower column) and the cell side, and allocates the lists and the hash table.
  void Prepare() {
    std::vector<double> low(m_, std::numeric_limits<double>::infinity());
    std::vector<double> high(m_, -std::numeric_limits<double>::infinity());
    for (Index r = 0; r < n_; ++r) {
      const T* row = data_ + static_cast<std::ptrdiff_t>(r) * m_;
      if (!std::all_of(row, row + m_, [](T value) { return std::isfinite(value); })) continue;
      for (Index c = 0; c < m_; ++c) {
        low[c] = std::min(low[c], static_cast<double>(row[c]));
        high[c] = std::max(high[c], static_cast<double>(row[c]));
      }
    }
    std::vector<Index> by_spread(m_);
    std::iota(by_spread.begin(), by_spread.end(), Index{0});
    std::stable_sort(by_spread.begin(), by_spread.end(), [&](Index a, Index b) {
      return high[a] - low[a] > high[b] - low[b];
    });
    grid_columns_ = static_cast<int>(std::min<Index>(m_ - 1, kMaxGridColumns));
    double largest = 0;
    for (int g = 0; g < grid_columns_; ++g) {
      columns_[g] = by_spread[g];
      if (low[columns_[g]] <= high[columns_[g]]) {
        largest = std::max({largest, -low[columns_[g]], high[columns_[g]]});
      }
    }
    side_ = std::max({static_cast<double>(tolerance_) * kCellSideInTolerances,
                      largest / kMaxCellCoordinate, kMinCellSide});
    next_.assign(n_, kNone);
    slots_.assign(kInitialCellSlots, Slot{CellNumber{}, kNone, kNone});
  }

  // The cell of the row at sort position `position`.
  CellNumber CellOf(Index position) const {
    const T* row = data_ + static_cast<std::ptrdiff_t>(order_[position]) * m_;
    CellNumber cell{};
    for (int g = 0; g < grid_columns_; ++g) {
      cell[g] = static_cast<std::int64_t>(std::floor(static_cast<double>(row[columns_[g]]) / side_));
    }
    return cell;
  }

  // The slot that holds `cell`, or the unused slot where it belongs.
  Slot& SlotFor(const CellNumber& cell) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = HashCell(cell) & mask;; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (slot.tail == kNone || slot.cell == cell) return slot;
    }
  }

  // Doubles the hash table, moving every used slot.
  void Grow() {
    std::vector<Slot> old(slots_.size() * 2, Slot{CellNumber{}, kNone, kNone});
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.tail != kNone) SlotFor(slot.cell) = slot;
    }
  }

  // Files the positions [begin, end) (each not filed before) at the tails of their cells.
  void FileUpTo(Index begin, Index end) {
    for (Index position = begin; position < end; ++position) {
      if (2 * (used_slots_ + 1) > slots_.size()) Grow();
      const CellNumber cell = CellOf(position);
      Slot& slot = SlotFor(cell);
      if (slot.tail == kNone) {
        slot.cell = cell;
        ++used_slots_;
      }
      if (slot.head == kNone) {
        slot.head = position;
      } else {
        next_[slot.tail] = position;
      }
      slot.tail = position;
    }
    filed_end_ = std::max(filed_end_, end);
  }

  // Drops the positions up to `opening` from the front of `cell`'s list and visits the rest.
  template <typename Visit>
  void VisitCell(const CellNumber& cell, Index opening, Visit& visit) {
    Slot& slot = SlotFor(cell);
    if (slot.tail == kNone) return;
    while (slot.head != kNone && slot.head <= opening) slot.head = next_[slot.head];
    for (Index position = slot.head; position != kNone; position = next_[position]) visit(position);
  }

  const T* data_;
  Index n_;
  Index m_;
  const Index* order_;
  T tolerance_;
  int grid_columns_ = 0;
  std::array<Index, kMaxGridColumns> columns_{};
  double side_ = 0;
  // next_[q]: the position filed after q in q's cell, or kNone.
  std::vector<Index> next_;
  std::vector<Slot> slots_;
  std::size_t used_slots_ = 0;
  // Every position below this was either filed or skipped for good.
  Index filed_end_ = 0;
};

}  // namespace rilo::internal
