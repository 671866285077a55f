#include "track/assignment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

// Cheapest finite assignment of every row to its own column, by trying every permutation of the
// columns; +inf when none exists.
double brute_force_minimum(const std::vector<double> &cost, int rows, int cols) {
    std::vector<int> perm(cols);
    std::iota(perm.begin(), perm.end(), 0);
    double best = INF;
    do {
        double total = 0.0;
        for (int r = 0; r < rows && total < INF; ++r) total += cost[r * cols + perm[r]];
        best = std::min(best, total);
    } while (std::next_permutation(perm.begin(), perm.end()));
    return best;
}

struct RandomCase {
    unsigned seed;
    int rows, cols;
    double forbidden_share;  // probability that a cell is forbidden
    bool integer_costs;      // many ties
};

std::vector<double> random_matrix(const RandomCase &c) {
    std::mt19937 rng(c.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> small(-3, 3);
    std::vector<double> cost(c.rows * c.cols);
    for (double &cell : cost) {
        if (unit(rng) < c.forbidden_share) {
            cell = INF;
        } else {
            cell = c.integer_costs ? small(rng) : -unit(rng) * 1e-3 + unit(rng) * 10.0;
        }
    }
    return cost;
}

TEST(Assignment, EqualsBruteForceOnSeededTable) {
    std::vector<RandomCase> table;
    for (int n = 1; n <= 7; ++n) {
        for (unsigned seed = 1; seed <= 40; ++seed) {
            table.push_back({seed * 131 + n, n, n, 0.0, false});
            table.push_back({seed * 137 + n, n, n, 0.3, false});
            table.push_back({seed * 139 + n, n, n, 0.6, true});
        }
    }
    // Fewer rows than columns, as the tracker builds them.
    for (int rows = 1; rows <= 5; ++rows) {
        for (int cols = rows + 1; cols <= 7; ++cols) {
            for (unsigned seed = 1; seed <= 10; ++seed) {
                table.push_back({seed * 149 + rows * 8 + cols, rows, cols, 0.5, false});
                table.push_back({seed * 151 + rows * 8 + cols, rows, cols, 0.7, true});
            }
        }
    }
    int infeasible = 0;
    for (const RandomCase &c : table) {
        SCOPED_TRACE(testing::Message() << "seed " << c.seed << " " << c.rows << "x" << c.cols);
        const std::vector<double> cost = random_matrix(c);
        const double expected = brute_force_minimum(cost, c.rows, c.cols);
        Assignment a;
        ASSERT_EQ(assignment_init_rect(&a, c.rows, c.cols), ASSIGNMENT_OK);
        a.cost = cost;
        const int status = assignment_solve(&a);
        if (expected == INF) {
            ++infeasible;
            EXPECT_EQ(status, ASSIGNMENT_INFEASIBLE);
            EXPECT_TRUE(
                std::all_of(a.result.begin(), a.result.end(), [](int c) { return c == -1; }));
            continue;
        }
        ASSERT_EQ(status, ASSIGNMENT_OK);
        std::vector<int> cols = a.result;
        std::sort(cols.begin(), cols.end());
        EXPECT_EQ(std::unique(cols.begin(), cols.end()), cols.end()) << "column used twice";
        EXPECT_GE(cols.front(), 0);
        EXPECT_LT(cols.back(), c.cols);
        EXPECT_NEAR(assignment_total(&a), expected, 1e-9 * (1.0 + std::abs(expected)));
    }
    // The table must exercise both outcomes.
    EXPECT_GT(infeasible, 0);
    EXPECT_LT(infeasible, static_cast<int>(table.size()) / 3);
}

TEST(Assignment, ReusedStructureGivesSameAnswerAsFresh) {
    Assignment reused;
    for (int n : {7, 3, 6, 1, 7}) {
        const std::vector<double> cost =
            random_matrix({static_cast<unsigned>(n) * 7u, n, n, 0.2, false});
        Assignment fresh;
        ASSERT_EQ(assignment_init(&fresh, n), ASSIGNMENT_OK);
        ASSERT_EQ(assignment_init(&reused, n), ASSIGNMENT_OK);
        fresh.cost = cost;
        reused.cost = cost;
        const int s1 = assignment_solve(&fresh);
        const int s2 = assignment_solve(&reused);
        ASSERT_EQ(s1, s2);
        if (s1 == ASSIGNMENT_OK) {
            EXPECT_DOUBLE_EQ(assignment_total(&fresh), assignment_total(&reused));
        }
    }
    assignment_free(&reused);
    EXPECT_EQ(reused.rows, 0);
}

TEST(Assignment, ForbiddenCellsAndPaddingAsTheTrackerUsesThem) {
    // Two tracks, two measurements, two dummy columns. Track 0 may only take measurement 1;
    // track 1 prefers measurement 1 but giving it up is cheaper overall: t0-m1, t1-m0.
    Assignment a;
    ASSERT_EQ(assignment_init(&a, 4), ASSIGNMENT_OK);
    const double rows[2][2] = {{INF, -0.5}, {-0.3, -0.6}};
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) assignment_cost(&a, r, c) = rows[r][c];
    ASSERT_EQ(assignment_solve(&a), ASSIGNMENT_OK);
    EXPECT_EQ(a.result[0], 1);
    EXPECT_EQ(a.result[1], 0);
    EXPECT_DOUBLE_EQ(assignment_total(&a), -0.8);
}

TEST(Assignment, RejectsBadInput) {
    Assignment a;
    EXPECT_EQ(assignment_init(&a, -1), ASSIGNMENT_INVALID);
    EXPECT_EQ(assignment_init_rect(&a, 3, 2), ASSIGNMENT_INVALID);
    ASSERT_EQ(assignment_init(&a, 2), ASSIGNMENT_OK);
    assignment_cost(&a, 0, 1) = -INF;
    EXPECT_EQ(assignment_solve(&a), ASSIGNMENT_INVALID);
    // NaN behaves as a forbidden cell.
    assignment_cost(&a, 0, 1) = std::nan("");
    assignment_cost(&a, 0, 0) = 1.0;
    ASSERT_EQ(assignment_solve(&a), ASSIGNMENT_OK);
    EXPECT_EQ(a.result[0], 0);
    ASSERT_EQ(assignment_init(&a, 0), ASSIGNMENT_OK);
    EXPECT_EQ(assignment_solve(&a), ASSIGNMENT_OK);
}

}  // namespace
