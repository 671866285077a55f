#include "track/assignment.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

bool has_minus_infinity(const Assignment *a) {
    for (double c : a->cost) {
        if (std::isinf(c) && c < 0) return true;
    }
    return false;
}

// Reduced cost of a cell; forbidden cells (+inf, NaN) never compare below a finite slack.
double reduced_cost(const Assignment *a, int row1, int col1) {
    return a->cost[static_cast<size_t>(row1 - 1) * a->cols + (col1 - 1)] - a->row_potential[row1] -
           a->col_potential[col1];
}

// Adds row `row1` (1-based) to the matching along a shortest augmenting path (Dijkstra over
// reduced costs). Returns false when no finite path exists.
bool augment_row(Assignment *a, int row1) {
    const int n = a->cols;
    a->col_owner[0] = row1;
    int col0 = 0;
    std::fill(a->min_slack.begin(), a->min_slack.end(), INF);
    std::fill(a->col_used.begin(), a->col_used.end(), 0);
    do {
        a->col_used[col0] = 1;
        const int row0 = a->col_owner[col0];
        double delta = INF;
        int next_col = 0;
        for (int col = 1; col <= n; ++col) {
            if (a->col_used[col]) continue;
            const double cur = reduced_cost(a, row0, col);
            if (cur < a->min_slack[col]) {
                a->min_slack[col] = cur;
                a->col_previous[col] = col0;
            }
            if (a->min_slack[col] < delta) {
                delta = a->min_slack[col];
                next_col = col;
            }
        }
        if (next_col == 0) return false;
        for (int col = 0; col <= n; ++col) {
            if (a->col_used[col]) {
                a->row_potential[a->col_owner[col]] += delta;
                a->col_potential[col] -= delta;
            } else {
                a->min_slack[col] -= delta;
            }
        }
        col0 = next_col;
    } while (a->col_owner[col0] != 0);
    // Flip the path back to the start column.
    do {
        const int prev = a->col_previous[col0];
        a->col_owner[col0] = a->col_owner[prev];
        col0 = prev;
    } while (col0 != 0);
    return true;
}

}  // namespace

int assignment_init(Assignment *a, int n) {
    return assignment_init_rect(a, n, n);
}

int assignment_init_rect(Assignment *a, int rows, int cols) {
    if (rows < 0 || cols < rows) return ASSIGNMENT_INVALID;
    try {
        const size_t cells = static_cast<size_t>(rows) * cols;
        a->rows = rows;
        a->cols = cols;
        a->cost.assign(cells, 0.0);
        a->result.assign(rows, -1);
        a->row_potential.resize(rows + 1);
        a->col_potential.resize(cols + 1);
        a->min_slack.resize(cols + 1);
        a->col_owner.resize(cols + 1);
        a->col_previous.resize(cols + 1);
        a->col_used.resize(cols + 1);
    } catch (const std::bad_alloc &) {
        assignment_free(a);
        return ASSIGNMENT_NO_MEMORY;
    }
    return ASSIGNMENT_OK;
}

int assignment_solve(Assignment *a) {
    std::fill(a->result.begin(), a->result.end(), -1);
    if (has_minus_infinity(a)) return ASSIGNMENT_INVALID;
    std::fill(a->row_potential.begin(), a->row_potential.end(), 0.0);
    std::fill(a->col_potential.begin(), a->col_potential.end(), 0.0);
    std::fill(a->col_owner.begin(), a->col_owner.end(), 0);
    std::fill(a->col_previous.begin(), a->col_previous.end(), 0);
    for (int row1 = 1; row1 <= a->rows; ++row1) {
        if (!augment_row(a, row1)) {
            std::fill(a->result.begin(), a->result.end(), -1);
            return ASSIGNMENT_INFEASIBLE;
        }
    }
    for (int col1 = 1; col1 <= a->cols; ++col1) {
        if (a->col_owner[col1] != 0) a->result[a->col_owner[col1] - 1] = col1 - 1;
    }
    return ASSIGNMENT_OK;
}

double assignment_total(const Assignment *a) {
    double total = 0.0;
    for (int row = 0; row < a->rows; ++row) {
        const int col = a->result[row];
        if (col >= 0) total += a->cost[static_cast<size_t>(row) * a->cols + col];
    }
    return total;
}

void assignment_free(Assignment *a) {
    a->rows = 0;
    a->cols = 0;
    std::vector<double>().swap(a->cost);
    std::vector<int>().swap(a->result);
    std::vector<double>().swap(a->row_potential);
    std::vector<double>().swap(a->col_potential);
    std::vector<double>().swap(a->min_slack);
    std::vector<int>().swap(a->col_owner);
    std::vector<int>().swap(a->col_previous);
    std::vector<unsigned char>().swap(a->col_used);
}
