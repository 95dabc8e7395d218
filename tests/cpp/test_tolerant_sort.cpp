// Tests of the tolerant row ordering, the grouping pass and the group renumbering.
#include <stdexcept>
#include <vector>

#include "check.h"
#include "tolerant_sort/arg_sort_along_height.h"
#include "tolerant_sort/sort_ids_and_inverse.h"

namespace {

using rilo::IndexVector;
using rilo_test::Check;
using rilo_test::CheckThrows;

IndexVector<int> Identity(int n) {
  IndexVector<int> ids(n);
  for (int i = 0; i < n; ++i) ids[i] = i;
  return ids;
}

void SizeMismatchThrowsAndLeavesIdsUntouched() {
  const std::vector<double> data{1.0, 2.0, 3.0};
  for (int entries : {2, 4}) {
    IndexVector<int> ids = Identity(entries);
    CheckThrows<std::runtime_error>(
        [&] { rilo::internal::ArgSortAlongHeight<true>(data.data(), 3, 1, 0.5, ids); },
        "internal::ArgSortAlongHeight - input sorted_ids does not match size of arrays to be "
        "sorted.");
    Check(ids == Identity(entries), "sorted_ids changed by a failed call");
  }
}

void RenumberingWithNullInverseSortsOnlyIds() {
  std::vector<int> ids{7, 2, 5};
  rilo::SortIdsAndInverse(3, ids.data(), -4, static_cast<int*>(nullptr));
  Check(ids == std::vector<int>{2, 5, 7}, "ids not ascending");
}

void RenumberingRejectsNegativeCounts() {
  std::vector<int> ids{7, 2, 5};
  std::vector<int> inverse{0, 1, 2};
  CheckThrows<std::length_error>([&] { rilo::SortIdsAndInverse(-1, ids.data(), 3, inverse.data()); },
                                 "cannot create std::vector larger than max_size()");
  Check(ids == std::vector<int>{7, 2, 5}, "ids written before the length error");
  CheckThrows<std::length_error>([&] { rilo::SortIdsAndInverse(3, ids.data(), -1, inverse.data()); },
                                 "cannot create std::vector larger than max_size()");
  Check(inverse == std::vector<int>{0, 1, 2}, "inverse written before the length error");
}

const bool registered = rilo_test::AddTests({
    {"size mismatch throws and leaves ids untouched", SizeMismatchThrowsAndLeavesIdsUntouched},
    {"renumbering with a null inverse sorts only ids", RenumberingWithNullInverseSortsOnlyIds},
    {"renumbering rejects negative counts", RenumberingRejectsNegativeCounts},
});

}  // namespace
