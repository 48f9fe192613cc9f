#pragma once

#include <cstddef>
#include <vector>

namespace qel::bench {

// The q-quantile (0..1) of `samples`, nearest rank.
double Quantile(std::vector<double> samples, double q);

// Open descriptors of this process, from /proc/self/fd.
std::size_t OpenFdCount();

// Resident set size in KiB, from /proc/self/status.
long ResidentKib();

}  // namespace qel::bench
