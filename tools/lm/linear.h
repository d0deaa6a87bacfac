// Fixed-size linear algebra of the solver: the matrix types and an LDL^T
// factorisation of small symmetric positive definite systems.
#pragma once

#include "lm/eigen.h"

namespace lm {

// The solver's functions are inlined into their caller, so that a caller
// built for several instruction sets gets the solver's arithmetic in each.
#define LM_INLINE inline __attribute__((always_inline))

template <int M>
using Matrix = Eigen::Matrix<double, M, M>;
template <int M>
using Vector = Eigen::Matrix<double, M, 1>;

// S = L D L^T of S = A + mu I, for a symmetric A (only its lower triangle is
// read): L unit lower triangular, D diagonal; Cholesky without square roots,
// after Eigen's LDLT (without its pivoting). Factor once with compute(),
// then solve() as often as needed.
//
// Storage: L_[i][k] holds L's entry (i, k) for k < i, row-major (its unit
// diagonal and its upper triangle are never stored); inv_d_[j] holds 1 / D_j.
//
// Written out for fixed M: Eigen's LLT takes several times the instructions
// on a 7 x 7 system, and the solves are a sizable share of a whole fit.
//
// kShortChains orders the sums of the back substitution from the last
// unknown to the first, so that each unknown waits for the one before it by
// a single multiply-add instead of by its whole sum: the solve's latency,
// not its work, bounds it. Another order of the same sums, so other bits;
// kernel paths whose results need not match the portable build's take it.
template <int M, bool kShortChains = false>
class Ldlt {
   public:
    // Factorises A + mu I. False when a pivot is not positive (NaN
    // included): the matrix is then not numerically positive definite, and
    // solve() must not be called.
    LM_INLINE bool compute(const Matrix<M> &A, double mu) {
        double D[M];
#pragma GCC unroll 16
        for (int j = 0; j < M; j++) {
            double W[M];  // W[k] = L[j][k] D[k]
            double d = A(j, j) + mu;
#pragma GCC unroll 16
            for (int k = 0; k < j; k++) {
                W[k] = L_[j][k] * D[k];
                d -= W[k] * L_[j][k];
            }
            if (!(d > 0.0)) return false;
            D[j] = d;
            inv_d_[j] = 1.0 / d;
#pragma GCC unroll 16
            for (int i = j + 1; i < M; i++) {
                double s = A(i, j);
#pragma GCC unroll 16
                for (int k = 0; k < j; k++) s -= L_[i][k] * W[k];
                L_[i][j] = s * inv_d_[j];
            }
        }
        return true;
    }

    // x = (A + mu I)^-1 b: L y = b by forward substitution, then
    // D L^T x = y by back substitution. x and b may not be the same vector.
    LM_INLINE void solve(const Vector<M> &b, Vector<M> &x) const {
        double y[M];
#pragma GCC unroll 16
        for (int i = 0; i < M; i++) {
            double s = b[i];
#pragma GCC unroll 16
            for (int k = 0; k < i; k++) s -= L_[i][k] * y[k];
            y[i] = s;
        }
        // Into a local array first: x, written through a reference, could
        // alias L_ for all the compiler knows, and every step would wait for
        // the last store to reach memory.
        double z[M];
#pragma GCC unroll 16
        for (int i = M - 1; i >= 0; i--) {
            double s = y[i] * inv_d_[i];
            if constexpr (kShortChains) {
#pragma GCC unroll 16
                for (int k = M - 1; k > i; k--) s -= L_[k][i] * z[k];
            } else {
#pragma GCC unroll 16
                for (int k = i + 1; k < M; k++) s -= L_[k][i] * z[k];
            }
            z[i] = s;
        }
#pragma GCC unroll 16
        for (int i = 0; i < M; i++) x[i] = z[i];
    }

    // (A + mu I)^-1, column by column: M solves against the unit vectors.
    LM_INLINE void inverse(Matrix<M> &inv) const {
        for (int c = 0; c < M; c++) {
            const Vector<M> unit = Vector<M>::Unit(c);
            Vector<M> column;
            solve(unit, column);
            inv.col(c) = column;
        }
    }

   private:
    double L_[M][M];
    double inv_d_[M];
};

}  // namespace lm
