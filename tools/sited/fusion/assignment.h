#pragma once

#include <vector>

namespace trklib::sited::fusion {

// The assignment of every row to its own column at the least total cost
// (Hungarian method with potentials, O(rows^2 * columns)). cost is
// row-major, rows <= columns, every entry finite. Returns each row's
// column; empty when rows > columns or the sizes do not match.
std::vector<int> solveAssignment(const std::vector<double>& cost, int rows, int columns);

} // namespace trklib::sited::fusion
