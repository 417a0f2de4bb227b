#include "tools/sited/fusion/assignment.h"

#include <cstddef>
#include <limits>

namespace trklib::sited::fusion {

std::vector<int> solveAssignment(const std::vector<double>& cost, int rows, int columns)
{
    if (rows > columns || rows < 0 || cost.size() != std::size_t(rows) * std::size_t(columns))
        return {};
    constexpr double infinity = std::numeric_limits<double>::infinity();
    // Index 0 of columns is the row being added; rows and columns from 1.
    std::vector<double> u(rows + 1, 0.0), v(columns + 1, 0.0);
    std::vector<int> rowOf(columns + 1, 0), way(columns + 1, 0);
    for (int row = 1; row <= rows; ++row) {
        rowOf[0] = row;
        int column0 = 0;
        std::vector<double> slack(columns + 1, infinity);
        std::vector<char> used(columns + 1, 0);
        do {
            used[column0] = 1;
            const int row0 = rowOf[column0];
            double delta = infinity;
            int column1 = 0;
            for (int c = 1; c <= columns; ++c) {
                if (used[c])
                    continue;
                const double reduced =
                    cost[std::size_t(row0 - 1) * columns + (c - 1)] - u[row0] - v[c];
                if (reduced < slack[c]) {
                    slack[c] = reduced;
                    way[c] = column0;
                }
                if (slack[c] < delta) {
                    delta = slack[c];
                    column1 = c;
                }
            }
            for (int c = 0; c <= columns; ++c) {
                if (used[c]) {
                    u[rowOf[c]] += delta;
                    v[c] -= delta;
                } else {
                    slack[c] -= delta;
                }
            }
            column0 = column1;
        } while (rowOf[column0] != 0);
        // Flip the augmenting path back to the root.
        do {
            const int column1 = way[column0];
            rowOf[column0] = rowOf[column1];
            column0 = column1;
        } while (column0 != 0);
    }
    std::vector<int> columnOf(rows, -1);
    for (int c = 1; c <= columns; ++c)
        if (rowOf[c] != 0)
            columnOf[rowOf[c] - 1] = c - 1;
    return columnOf;
}

} // namespace trklib::sited::fusion
