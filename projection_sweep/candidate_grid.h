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
// Cell side in tolerances: 4 times (1 + 2^-7), the slack for rounding. Above 2, a row within the tolerance of another
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
// Fewest hash slots; a power of two.
constexpr std::size_t kMinCellSlots = 1024;
// Positions ahead of the one being filed whose row is fetched (twice this) and whose hash slot
// is fetched (this): filing visits rows and slots in random memory order.
constexpr int kFilePrefetchDistance = 8;

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

  // Calls visit(row) for the row of every sort position in (opening, window_end) that can lie
  // within the tolerance of the row at `opening`, in no particular order; the caller decides
  // each by the distance test. Assumes Usable() and that window_end never decreases between
  // calls.
  template <typename Visit>
  void VisitCandidates(Index opening, Index window_end, Visit visit) {
    if (nodes_.empty()) Prepare();
    FileUpTo(std::max(filed_end_, opening + 1), window_end);
    std::array<std::uint64_t, 1 << kMaxGridColumns> hashes;
    const int count = NearCells(order_[opening], hashes);
    for (int c = 0; c < count; ++c) VisitCell(hashes[c], opening, visit);
  }

 private:
  // One hash slot: a cell's hash (kUnused for an unused slot) and the first and last position
  // filed in it; head == kNone marks a cell whose positions have all been passed.
  struct Slot {
    std::uint64_t hash;
    Index head;
    Index tail;
  };
  // The list entry of a filed position: the next position in its cell and the position's row.
  struct Node {
    Index next;
    Index row;
  };
  static constexpr Index kNone = -1;
  static constexpr std::uint64_t kUnused = 0;

  // Chooses the grid columns (the widest spread of values among rows with only finite values,
  // ties to the lower column) and the cell side, and allocates the lists.
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
    nodes_.resize(n_);
  }

  // Writes into `hashes` the hashes of the cells a row within the tolerance of row `row` can lie
  // in, and returns their number: its own cell and, per grid column where it lies near an edge,
  // the neighbour across that edge, in every combination.
  int NearCells(Index row, std::array<std::uint64_t, 1 << kMaxGridColumns>& hashes) const {
    const T* values = data_ + static_cast<std::ptrdiff_t>(row) * m_;
    CellNumber home{};
    CellNumber step{};
    for (int g = 0; g < grid_columns_; ++g) {
      const double coordinate = static_cast<double>(values[columns_[g]]) / side_;
      const double floor = std::floor(coordinate);
      home[g] = static_cast<std::int64_t>(floor);
      const double within = coordinate - floor;
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
      cell[g] = static_cast<std::int64_t>(std::floor(static_cast<double>(values[columns_[g]]) / side_));
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

  // Makes room for `cells` more cells in a table kept at most half full.
  void Reserve(std::size_t cells) {
    std::size_t wanted = kMinCellSlots;
    while (wanted < 2 * (used_slots_ + cells)) wanted *= 2;
    if (wanted <= slots_.size()) return;
    std::vector<Slot> old(wanted, Slot{kUnused, kNone, kNone});
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.hash != kUnused) slots_[SlotIndex(slot.hash)] = slot;
    }
  }

  // Files the positions [begin, end) (each not filed before) at the tails of their cells.
  void FileUpTo(Index begin, Index end) {
    if (begin >= end) return;
    Reserve(static_cast<std::size_t>(end - begin));
    const std::size_t mask = slots_.size() - 1;
    for (Index position = begin; position < end; ++position) {
      if (position + 2 * kFilePrefetchDistance < end) {
        PrefetchForRead(data_ + static_cast<std::ptrdiff_t>(order_[position + 2 * kFilePrefetchDistance]) * m_);
      }
      if (position + kFilePrefetchDistance < end) {
        PrefetchForRead(&slots_[CellHashOf(order_[position + kFilePrefetchDistance]) & mask]);
      }
      const Index row = order_[position];
      const std::uint64_t hash = CellHashOf(row);
      Slot& slot = slots_[SlotIndex(hash)];
      nodes_[position] = Node{kNone, row};
      if (slot.hash == kUnused) {
        slot = Slot{hash, position, position};
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
    while (slot.head != kNone && slot.head <= opening) slot.head = nodes_[slot.head].next;
    for (Index position = slot.head; position != kNone; position = nodes_[position].next) {
      visit(nodes_[position].row);
    }
  }

  const T* data_;
  Index n_;
  Index m_;
  const Index* order_;
  T tolerance_;
  int grid_columns_ = 0;
  std::array<Index, kMaxGridColumns> columns_{};
  double side_ = 0;
  // nodes_[q]: the list entry of sort position q, once filed.
  std::vector<Node> nodes_;
  std::vector<Slot> slots_;
  std::size_t used_slots_ = 0;
  // Every position below this was either filed or skipped for good.
  Index filed_end_ = 0;
};

}  // namespace rilo::internal
