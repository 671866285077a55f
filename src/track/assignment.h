// Minimum-cost assignment (Kuhn-Munkres / Hungarian method with row and column potentials):
// on a square n x n matrix a perfect matching, O(n^3); on a rows x cols matrix with
// rows <= cols every row gets its own column, O(rows^2 * cols).
//
// Costs are doubles; +infinity (and NaN) mark forbidden pairs. The tracker pads its matrices
// with zero-cost dummy rows and columns so that a finite matching always exists; a matrix
// without one is reported, not solved.
//
// The structure keeps its storage between solves: calling assignment_init again with the same
// or a smaller size does not allocate. One structure belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <vector>

inline constexpr int ASSIGNMENT_OK = 0;
inline constexpr int ASSIGNMENT_NO_MEMORY = -1;
inline constexpr int ASSIGNMENT_INFEASIBLE = -2;  // every perfect matching uses a forbidden pair
inline constexpr int ASSIGNMENT_INVALID = -3;     // negative size, or a cost of -infinity

struct Assignment {
    int rows = 0;
    int cols = 0;
    std::vector<double> cost;  // rows * cols, row-major: cost[row * cols + col]
    std::vector<int> result;   // per row the assigned column; -1 until solved
    // Working arrays of the solver (1-based, index 0 is the virtual start column).
    std::vector<double> row_potential, col_potential, min_slack;
    std::vector<int> col_owner, col_previous;
    std::vector<unsigned char> col_used;
};

// Sizes the problem to n x n, every cost 0 and every result -1.
int assignment_init(Assignment *a, int n);

// Sizes the problem to rows x cols (rows <= cols), every cost 0 and every result -1. A square
// matrix padded with zero-cost dummy rows has the same optimum as this one without them, at a
// fraction of the work.
int assignment_init_rect(Assignment *a, int rows, int cols);

inline double &assignment_cost(Assignment *a, int row, int col) {
    return a->cost[static_cast<size_t>(row) * a->cols + col];
}

// Solves; on ASSIGNMENT_OK every result[row] holds a distinct column and the total cost is
// minimal. Among equal-cost assignments any one may be returned.
int assignment_solve(Assignment *a);

// Sum of the costs of the solved matching.
double assignment_total(const Assignment *a);

// Releases the storage (the structure can be initialised again).
void assignment_free(Assignment *a);
