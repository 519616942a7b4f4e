#include "bench/slicing.h"

namespace bench {

std::vector<int> slice_order(int sides, int slice, bool forward_first) {
    std::vector<int> order;
    const bool forward = forward_first == (slice % 2 == 0);
    for (int k = 0; k < sides; ++k) order.push_back(forward ? k : sides - 1 - k);
    return order;
}

}  // namespace bench
