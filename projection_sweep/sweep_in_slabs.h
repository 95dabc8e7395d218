// The sweep of rows whose windows cross every cut of the sweep order (rows that share their
// projection, at the extreme) on several threads: the rows are cut across space instead, into
// slabs by their cell along one column, each slab is swept alone on a thread of its own, and
// the rows near the cuts are then swept again together.
//
// Two rows within the tolerance of each other lie in the same or in adjacent cells (the grid's
// cells), so the rows of two slabs meet only in the cells on either side of the cut between
// them. In the whole sweep a row opens exactly when no earlier row that holds it in its window
// and within the tolerance opens, and that rule, applied in sweep order, has one solution. The
// rows of the band within `reach` cells of the cuts are swept again in sweep order, together
// with the rows of the cells beside the band, which keep what their slab's sweep decided. Where
// every row of the band's rim (its cells beside cells outside it) opens as in its slab's sweep,
// the rule holds everywhere: a row outside the band meets only rows of its own slab, decided as
// in that slab's sweep, and a row inside meets only rows of the band's sweep. Otherwise the
// band is widened and swept again; a band over every cell is the whole sweep.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/config.h"
#include "base/copy_rows.h"
#include "base/helper_threads.h"
#include "base/huge_page_allocator.h"
#include "base/stop.h"
#include "projection_sweep/arg_sort.h"
#include "projection_sweep/candidate_grid.h"
#include "projection_sweep/sweep_in_order.h"

namespace rilo::internal {

// Cells sampled to place the cuts between slabs: enough for slabs of nearly equal size.
constexpr std::ptrdiff_t kSlabCutSample = std::ptrdiff_t{1} << 14;

// The cells of one column that slabs are cut along: a row's cell is its value in that column
// over the cell side, rounded down, as the grid computes it.
struct SlabCells {
  std::ptrdiff_t column;
  double side;

  template <typename T>
  std::int64_t CellOf(const T* row) const {
    return CellFloor(static_cast<double>(row[column]) / side);
  }
};

// The bounds of the parts that n positions are cut into for up to `threads` threads: 0, ..., n.
inline std::vector<std::ptrdiff_t> PartBounds(std::ptrdiff_t n, int threads) {
  const std::ptrdiff_t parts = PartCount(n, threads);
  std::vector<std::ptrdiff_t> bounds;
  for (std::ptrdiff_t part = 0; part <= parts; ++part) bounds.push_back(n * part / parts);
  return bounds;
}

// The cells along the column with the widest spread of values among the n rows of m columns at
// `rows` that have only finite values, for `tolerance`, on up to `threads` threads; none when
// no row has only finite values or the tolerance gives no usable cell side.
template <typename T, typename Index, typename ShouldStop>
std::optional<SlabCells> SlabCellsFor(const T* rows, Index n, Index m, T tolerance, int threads,
                                      ShouldStop& should_stop) {
  if (!CellSideUsable(static_cast<double>(tolerance))) return std::nullopt;
  const std::vector<std::ptrdiff_t> parts = PartBounds(n, threads);
  std::vector<std::vector<double>> lows(parts.size() - 1);
  std::vector<std::vector<double>> highs(parts.size() - 1);
  ForEachTask(static_cast<std::ptrdiff_t>(lows.size()), threads, [&](std::ptrdiff_t part) {
    FiniteColumnRanges(rows + parts[part] * m, static_cast<Index>(parts[part + 1] - parts[part]), m, lows[part],
                       highs[part], should_stop);
  }, should_stop);
  std::vector<double>& low = lows[0];
  std::vector<double>& high = highs[0];
  for (std::size_t part = 1; part < lows.size(); ++part) {
    for (Index column = 0; column < m; ++column) {
      low[column] = std::min(low[column], lows[part][column]);
      high[column] = std::max(high[column], highs[part][column]);
    }
  }
  Index widest = 0;
  for (Index column = 1; column < m; ++column) {
    if (high[column] - low[column] > high[widest] - low[widest]) widest = column;
  }
  if (!(low[widest] <= high[widest])) return std::nullopt;
  const double largest = LargestBelowOutliers(rows, n, m, widest, LargestMagnitude(low[widest], high[widest]));
  return SlabCells{widest, CellSideFor(static_cast<double>(tolerance), largest)};
}

// The cell of each of the n rows at `rows` along `cells`, on up to `threads` threads.
template <typename T, typename Index, typename ShouldStop>
LargeVector<std::int64_t> CellsOfRows(const T* rows, Index n, Index m, const SlabCells& cells, int threads,
                                      ShouldStop& should_stop) {
  LargeVector<std::int64_t> cell_of(n);
  ForEachPart(n, 1, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
    for (std::ptrdiff_t position = begin; position < end; ++position) {
      if (position % kStopPollInterval == 0) StopIfAsked(should_stop);
      cell_of[position] = cells.CellOf(rows + position * m);
    }
  }, should_stop);
  return cell_of;
}

// Up to `slabs` - 1 ascending, distinct cells that cut rows with the cells `cell_of` into slabs
// of about equal size (a slab starts at its cut), placed by a sample of the cells.
inline std::vector<std::int64_t> SlabCuts(const LargeVector<std::int64_t>& cell_of, int slabs) {
  const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(cell_of.size());
  const std::ptrdiff_t stride = std::max<std::ptrdiff_t>(1, n / kSlabCutSample);
  std::vector<std::int64_t> sample;
  for (std::ptrdiff_t position = 0; position < n; position += stride) sample.push_back(cell_of[position]);
  std::sort(sample.begin(), sample.end());
  std::vector<std::int64_t> cuts;
  for (int slab = 1; slab < slabs; ++slab) {
    const std::int64_t cut = sample[sample.size() * slab / slabs];
    if (cut > sample.front() && (cuts.empty() || cut > cuts.back())) cuts.push_back(cut);
  }
  return cuts;
}

// The slab of a row in cell `cell`: the number of cuts at or below it (counted without a
// branch, since rows of neighbouring sort positions lie on either side of a cut at random).
inline std::ptrdiff_t SlabOf(std::int64_t cell, const std::vector<std::int64_t>& cuts) {
  std::ptrdiff_t slab = 0;
  for (const std::int64_t cut : cuts) slab += cell >= cut;
  return slab;
}

// Where a cell lies against the band of the cells within `reach` cells of a cut (cut - reach up
// to cut + reach - 1, so that the cells on both sides of every cut are in it).
enum class BandZone : std::uint8_t {
  kOutside,  // outside the band and not beside it
  kBeside,   // outside the band, next to a cell in it
  kInside,   // in the band, between cells in it
  kRim,      // in the band, next to a cell outside it
};

// The zone of cell `cell` for the band within `reach` (>= 1) cells of the ascending `cuts`.
inline BandZone ZoneOf(std::int64_t cell, const std::vector<std::int64_t>& cuts, std::int64_t reach) {
  // Most cells lie more than reach + 1 cells from the nearest cut on either side: outside.
  const std::ptrdiff_t slab = SlabOf(cell, cuts);
  const bool far_above = slab == 0 || cell - cuts[slab - 1] > reach;
  const bool far_below = slab == static_cast<std::ptrdiff_t>(cuts.size()) || cuts[slab] - 1 - cell > reach;
  if (far_above && far_below) return BandZone::kOutside;
  const auto in_band = [&](std::int64_t at) {
    const auto above = std::upper_bound(cuts.begin(), cuts.end(), at - reach);
    return above != cuts.end() && *above <= at + reach;
  };
  if (in_band(cell)) return in_band(cell - 1) && in_band(cell + 1) ? BandZone::kInside : BandZone::kRim;
  return in_band(cell - 1) || in_band(cell + 1) ? BandZone::kBeside : BandZone::kOutside;
}

// Rows of a sweep copied into a block of their own, in the order of their sort `positions`.
template <typename T, typename Index>
struct SweepBlock {
  LargeVector<T> rows;
  LargeVector<KeyOf<T>> keys;
  LargeVector<Index> positions;
};

// The rows of m columns at `rows` and their `keys` at the sort `positions`, copied into a block
// in that order, on up to `threads` threads.
template <typename T, typename Index, typename ShouldStop>
SweepBlock<T, Index> GatherBlock(const T* rows, const KeyOf<T>* keys, Index m, LargeVector<Index> positions,
                                 int threads, ShouldStop& should_stop) {
  const std::ptrdiff_t size = static_cast<std::ptrdiff_t>(positions.size());
  SweepBlock<T, Index> block{LargeVector<T>(static_cast<std::size_t>(size) * m), LargeVector<KeyOf<T>>(size),
                             std::move(positions)};
  CopyRowsOnThreads(rows, m, block.positions.data(), static_cast<Index>(size), block.rows.data(), threads,
                    should_stop);
  ForEachPart(size, 1, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
    for (std::ptrdiff_t index = begin; index < end; ++index) {
      if (index % kStopPollInterval == 0) StopIfAsked(should_stop);
      block.keys[index] = keys[block.positions[index]];
    }
  }, should_stop);
  return block;
}

// The sort positions of rows with the cells `cell_of` by slab, slab after slab and ascending
// within each, on up to `threads` threads; `slab_bounds` receives where each slab begins, and
// the number of rows last.
template <typename Index, typename ShouldStop>
LargeVector<Index> PositionsBySlab(const LargeVector<std::int64_t>& cell_of, const std::vector<std::int64_t>& cuts,
                                   int threads, std::vector<std::ptrdiff_t>& slab_bounds, ShouldStop& should_stop) {
  const std::vector<std::ptrdiff_t> parts = PartBounds(static_cast<std::ptrdiff_t>(cell_of.size()), threads);
  const std::ptrdiff_t part_count = static_cast<std::ptrdiff_t>(parts.size()) - 1;
  const std::ptrdiff_t slabs = static_cast<std::ptrdiff_t>(cuts.size()) + 1;
  // next[part][slab]: where the part's first row of the slab goes; first its count of them.
  std::vector<std::vector<std::ptrdiff_t>> next(part_count);
  ForEachTask(part_count, threads, [&](std::ptrdiff_t part) {
    std::vector<std::ptrdiff_t> counts(slabs, 0);  // counted here: parts' vectors may share a cache line
    for (std::ptrdiff_t position = parts[part]; position < parts[part + 1]; ++position) {
      if (position % kStopPollInterval == 0) StopIfAsked(should_stop);
      ++counts[SlabOf(cell_of[position], cuts)];
    }
    next[part] = std::move(counts);
  }, should_stop);
  slab_bounds.assign(slabs + 1, 0);
  std::ptrdiff_t total = 0;
  for (std::ptrdiff_t slab = 0; slab < slabs; ++slab) {
    slab_bounds[slab] = total;
    for (std::ptrdiff_t part = 0; part < part_count; ++part) {
      const std::ptrdiff_t count = next[part][slab];
      next[part][slab] = total;
      total += count;
    }
  }
  slab_bounds[slabs] = total;
  LargeVector<Index> positions(total);
  ForEachTask(part_count, threads, [&](std::ptrdiff_t part) {
    std::vector<std::ptrdiff_t> to = next[part];
    for (std::ptrdiff_t position = parts[part]; position < parts[part + 1]; ++position) {
      if (position % kStopPollInterval == 0) StopIfAsked(should_stop);
      positions[to[SlabOf(cell_of[position], cuts)]++] = static_cast<Index>(position);
    }
  }, should_stop);
  return positions;
}

// The ascending sort positions of the rows with the cells `cell_of` that lie in the band within
// `reach` cells of the `cuts` or beside it, on up to `threads` threads.
template <typename Index, typename ShouldStop>
LargeVector<Index> PositionsNearCuts(const LargeVector<std::int64_t>& cell_of, const std::vector<std::int64_t>& cuts,
                                     std::int64_t reach, int threads, ShouldStop& should_stop) {
  const std::vector<std::ptrdiff_t> parts = PartBounds(static_cast<std::ptrdiff_t>(cell_of.size()), threads);
  std::vector<std::vector<Index>> near(parts.size() - 1);
  ForEachTask(static_cast<std::ptrdiff_t>(near.size()), threads, [&](std::ptrdiff_t part) {
    for (std::ptrdiff_t position = parts[part]; position < parts[part + 1]; ++position) {
      if (position % kStopPollInterval == 0) StopIfAsked(should_stop);
      if (ZoneOf(cell_of[position], cuts, reach) != BandZone::kOutside) {
        near[part].push_back(static_cast<Index>(position));
      }
    }
  }, should_stop);
  std::size_t total = 0;
  for (const auto& part : near) total += part.size();
  LargeVector<Index> positions(total);
  auto out = positions.begin();
  for (const auto& part : near) out = std::copy(part.begin(), part.end(), out);
  return positions;
}

// The block index of each group's opening row, from the groups of a swept block (numbered in
// opening order): a row opens where it is the first to hold the next number.
template <typename Index, typename ShouldStop>
std::vector<Index> OpeningIndices(const Index* groups, std::ptrdiff_t size, ShouldStop& should_stop) {
  std::vector<Index> openings;
  for (std::ptrdiff_t index = 0; index < size; ++index) {
    if (index % kStopPollInterval == 0) StopIfAsked(should_stop);
    if (groups[index] == static_cast<Index>(openings.size())) openings.push_back(static_cast<Index>(index));
  }
  return openings;
}

// Sweeps every slab of `block` (the rows slab after slab, `slab_bounds` apart) alone, one slab a
// task on up to `threads` threads, and writes into `openers`, by sort position, the position of
// the row that opened each row's group in its slab's sweep (its own where it opens).
template <typename T, typename Index, typename ShouldStop>
void SweepSlabs(const SweepBlock<T, Index>& block, Index m, T tolerance,
                const std::vector<std::ptrdiff_t>& slab_bounds, Index* openers, int threads,
                ShouldStop& should_stop) {
  LargeVector<Index> groups(block.positions.size());
  ForEachTask(static_cast<std::ptrdiff_t>(slab_bounds.size()) - 1, threads, [&](std::ptrdiff_t slab) {
    const std::ptrdiff_t begin = slab_bounds[slab];
    const std::ptrdiff_t size = slab_bounds[slab + 1] - begin;
    Index* slab_groups = groups.data() + begin;
    const Index* positions = block.positions.data() + begin;
    SweepInOrder(block.rows.data() + begin * m, block.keys.data() + begin, static_cast<Index>(size), m, tolerance,
                 slab_groups, should_stop);
    const std::vector<Index> openings = OpeningIndices(slab_groups, size, should_stop);
    for (std::ptrdiff_t index = 0; index < size; ++index) {
      if (index % kStopPollInterval == 0) StopIfAsked(should_stop);
      openers[positions[index]] = positions[openings[slab_groups[index]]];
    }
  }, should_stop);
}

// Sweeps the rows in the band within `reach` cells of the `cuts` again, in sweep order with the
// rows beside it, which keep their slab's decision (`openers`, by sort position): returns false
// when a row of the band's rim opens otherwise than in its slab, and else writes the band's
// openers into `openers` and returns true. See the file comment.
template <typename T, typename Index, typename ShouldStop>
bool SweepBand(const T* rows, const KeyOf<T>* keys, Index m, T tolerance, const LargeVector<std::int64_t>& cell_of,
               const std::vector<std::int64_t>& cuts, std::int64_t reach, Index* openers, int threads,
               ShouldStop& should_stop) {
  const SweepBlock<T, Index> band = GatherBlock(
      rows, keys, m, PositionsNearCuts<Index>(cell_of, cuts, reach, threads, should_stop), threads, should_stop);
  const std::ptrdiff_t size = static_cast<std::ptrdiff_t>(band.positions.size());
  std::vector<BandZone> zones(size);
  std::vector<Index> groups(size);
  for (std::ptrdiff_t index = 0; index < size; ++index) {
    if (index % kStopPollInterval == 0) StopIfAsked(should_stop);
    const Index position = band.positions[index];
    zones[index] = ZoneOf(cell_of[position], cuts, reach);
    // A row beside the band that does not open in its slab never opens here: it counts as settled.
    const bool settled = zones[index] == BandZone::kBeside && openers[position] != position;
    groups[index] = settled ? Index{-2} : Index{-1};
  }
  SweepUnsettled(band.rows.data(), band.keys.data(), static_cast<Index>(size), m, tolerance, groups.data(),
                 should_stop);
  const std::vector<Index> openings = OpeningIndices(groups.data(), size, should_stop);
  for (std::ptrdiff_t index = 0; index < size; ++index) {
    if (index % kStopPollInterval == 0) StopIfAsked(should_stop);
    if (zones[index] != BandZone::kRim) continue;
    const Index position = band.positions[index];
    if ((openings[groups[index]] == index) != (openers[position] == position)) return false;
  }
  for (std::ptrdiff_t index = 0; index < size; ++index) {
    if (index % kStopPollInterval == 0) StopIfAsked(should_stop);
    if (zones[index] == BandZone::kInside || zones[index] == BandZone::kRim) {
      openers[band.positions[index]] = band.positions[openings[groups[index]]];
    }
  }
  return true;
}

// Marks in `opens` the n positions whose opener (in `groups`, by sort position) is their own,
// and replaces each opener by its group's number, groups numbered in opening order, on up to
// `threads` threads; returns the number of groups.
template <typename Index, typename ShouldStop>
Index NumberByOpeners(Index* groups, Index n, OpeningBits& opens, int threads, ShouldStop& should_stop) {
  const std::ptrdiff_t words = (std::ptrdiff_t{n} + 63) / 64;
  ForEachPart(words, 1, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
    for (std::ptrdiff_t word = begin; word < end; ++word) {
      if (word % (kStopPollInterval / 64) == 0) StopIfAsked(should_stop);
      std::uint64_t bits = 0;
      for (std::ptrdiff_t position = word * 64; position < std::min<std::ptrdiff_t>(n, word * 64 + 64); ++position) {
        bits |= std::uint64_t{groups[position] == position} << (position % 64);
      }
      opens[word] = bits;
    }
  }, should_stop);
  const std::vector<Index> opened_before = MarksBeforeWords<Index>(opens);
  ForEachPart(n, 1, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
    for (std::ptrdiff_t position = begin; position < end; ++position) {
      if (position % kStopPollInterval == 0) StopIfAsked(should_stop);
      groups[position] = MarksBefore(opens, opened_before, groups[position]);
    }
  }, should_stop);
  return opened_before.back();
}

// The n rows of m columns at `rows` in sweep order, with their projections' ordered `keys`
// (ascending), swept as SweepInOrder does, cut into slabs at the `cuts` (ascending cells of
// the rows' cells `cell_of`) that are swept at once on up to `threads` threads, and then the
// band around the cuts swept again until it agrees with them (see the file comment): writes each
// position's group into `groups` (n entries), groups numbered in opening order, marks the
// opening positions in `opens` (n bits) and returns the number of groups. The result does not
// depend on the cuts or the number of threads.
template <typename T, typename Index, typename ShouldStop>
Index SweepSlabsBetween(const T* rows, const KeyOf<T>* keys, Index n, Index m, T tolerance,
                        const LargeVector<std::int64_t>& cell_of, const std::vector<std::int64_t>& cuts,
                        Index* groups, OpeningBits& opens, int threads, ShouldStop& should_stop) {
  {
    std::vector<std::ptrdiff_t> slab_bounds;
    const SweepBlock<T, Index> slabs = GatherBlock(
        rows, keys, m, PositionsBySlab<Index>(cell_of, cuts, threads, slab_bounds, should_stop), threads, should_stop);
    SweepSlabs(slabs, m, tolerance, slab_bounds, groups, threads, should_stop);
  }
  for (std::int64_t reach = 1;; reach *= 2) {
    if (SweepBand(rows, keys, m, tolerance, cell_of, cuts, reach, groups, threads, should_stop)) break;
  }
  return NumberByOpeners(groups, n, opens, threads, should_stop);
}

// The n rows of m columns at `rows` in sweep order, with their projections' ordered `keys`
// (ascending), swept as SweepInOrder does in up to `slabs` slabs (SweepSlabsBetween, along the
// column of SlabCellsFor) on up to `threads` threads, as SweepSlabsBetween writes and returns;
// nothing when the rows give no cut between slabs.
template <typename T, typename Index, typename ShouldStop>
std::optional<Index> SweepInSlabs(const T* rows, const KeyOf<T>* keys, Index n, Index m, T tolerance, int slabs,
                                  Index* groups, OpeningBits& opens, int threads, ShouldStop& should_stop) {
  const std::optional<SlabCells> cells = SlabCellsFor(rows, n, m, tolerance, threads, should_stop);
  if (!cells) return std::nullopt;
  const LargeVector<std::int64_t> cell_of = CellsOfRows(rows, n, m, *cells, threads, should_stop);
  const std::vector<std::int64_t> cuts = SlabCuts(cell_of, slabs);
  if (cuts.empty()) return std::nullopt;
  return SweepSlabsBetween(rows, keys, n, m, tolerance, cell_of, cuts, groups, opens, threads, should_stop);
}

}  // namespace rilo::internal
