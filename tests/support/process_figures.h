#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

// Figures of the calling process read from the kernel (/proc, resource limits), shared by the
// load tests, the fuzzers and the bench tools.
namespace figures {

// This process's open descriptors, without the one used to list them.
std::vector<int> openDescriptorList();
int openDescriptors();
// The open descriptors once they are back to expected, or whatever they are after about two
// seconds: a worker thread may let go of one just after its owner has gone.
int openDescriptorsSettlingAt(int expected);

// The soft and the hard open-files limit; -1 when unknown.
long openFilesLimit();
long openFilesHardLimit();
// Sets the soft open-files limit to wanted, raising the hard limit too where allowed (up to
// fs.nr_open); returns the soft limit now in force.
long setOpenFiles(long wanted);

// The nearest-rank percentile of values sorted in ascending order; 0 when there are none.
template <class T>
T sortedPercentile(const std::vector<T>& sorted, double fraction) {
    if (sorted.empty()) {
        return T{};
    }
    auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace figures
