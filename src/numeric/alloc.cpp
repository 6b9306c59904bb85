// Index-bounded arrays: the report of an index outside an array's bounds.
#include "numeric/alloc.h"

namespace alloc_detail {
void index_fault(long i, long lo, long hi) {
  nrerror(strformat("index %ld outside the array bounds [%ld..%ld]", i, lo, hi));
}
}  // namespace alloc_detail
