// Fixed-size linear algebra of the solver: the matrix types, the sums of
// products it forms, and an LDL^T factorisation of small symmetric positive
// definite systems.
//
// Every rounding is written out: a multiply-add rounded once is the Fma
// policy's fmadd (below), and nothing else is fused (the library is built
// with -ffp-contract=off), so that the solver gives the same bits whichever
// instruction set it is built for and however its policy fuses.
#pragma once

#include <cmath>

#include "lm/eigen.h"

namespace lm {

// The solver's functions are inlined into their caller, so that a caller
// built for several instruction sets gets the solver's arithmetic in each.
#define LM_INLINE inline __attribute__((always_inline))

template <int M>
using Matrix = Eigen::Matrix<double, M, M>;
template <int M>
using Vector = Eigen::Matrix<double, M, 1>;

// How the solver rounds a multiply-add once: a policy type with
// static double fmadd(double a, double b, double c). The solver takes its
// problem type's (P::Fma, for a kernel path's own), else the C library's.
struct LibraryFma {
    LM_INLINE static double fmadd(double a, double b, double c) { return std::fma(a, b, c); }
};

template <class P>
struct FmaOfProblem {
    using type = LibraryFma;
};
template <class P>
requires requires { typename P::Fma; }
struct FmaOfProblem<P> {
    using type = typename P::Fma;
};
template <class P>
using FmaOf = typename FmaOfProblem<P>::type;

namespace detail {

// Sum of a[i] b[i] over the two-lane pairs i = 2 (first + j) + l, l = 0, 1,
// for j < count, each lane l a sum of its own: the pairs as a balanced tree,
// the left half plus the right (of one pair more when count is odd), a lone
// pair's products fused into the sum it joins, and a sum of two lone pairs
// the left pair's product plus the right pair fused.
template <class Fma, int First, int Count>
LM_INLINE double pairs(const double *a, const double *b, int l) {
    static_assert(Count >= 1);
    constexpr int i = 2 * First;
    if constexpr (Count == 1) {
        return a[i + l] * b[i + l];
    } else if constexpr (Count == 2) {
        return Fma::fmadd(a[i + 2 + l], b[i + 2 + l], a[i + l] * b[i + l]);
    } else {
        constexpr int half = Count / 2;
        const double right = pairs<Fma, First + half, Count - half>(a, b, l);
        if constexpr (half == 1) return Fma::fmadd(a[i + l], b[i + l], right);
        return pairs<Fma, First, half>(a, b, l) + right;
    }
}

}  // namespace detail

// The dot product of two M-vectors in one fixed order: the lanes of the
// pairs (0, 1), (2, 3), ... summed apart (detail::pairs), the two lane sums
// added, then the last element of an odd M fused in. (The order of Eigen's
// two-lane reduction, which the solver used before it wrote its sums out.)
template <int M, class Fma = LibraryFma>
LM_INLINE double dot(const Vector<M> &a, const Vector<M> &b) {
    double sum = 0.0;
    if constexpr (M >= 2) {
        constexpr int count = M / 2;
        sum = detail::pairs<Fma, 0, count>(a.data(), b.data(), 0) +
              detail::pairs<Fma, 0, count>(a.data(), b.data(), 1);
        if constexpr (M % 2 == 1) sum = Fma::fmadd(a[M - 1], b[M - 1], sum);
    } else {
        sum = a[0] * b[0];
    }
    return sum;
}

template <int M, class Fma = LibraryFma>
LM_INLINE double squared_norm(const Vector<M> &a) {
    return dot<M, Fma>(a, a);
}

// S = L D L^T of S = A + mu I, for a symmetric A (only its lower triangle is
// read): L unit lower triangular, D diagonal; Cholesky without square roots,
// after Eigen's LDLT (without its pivoting). Factor once with compute(),
// then solve() as often as needed. Each subtraction of a product is fused;
// the back substitution's first fuses y_i / D_i instead, and rounds the
// product it subtracts.
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
// not its work, bounds it. Another order of the same sums, so other bits:
// the inverses (covariances, Cramer-Rao bounds) and Fisher scoring take it;
// the least-squares steps keep the first order, in which the fits that end
// near the iteration limit agree best with the reference fits.
template <int M, bool kShortChains = false, class Fma = LibraryFma>
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
                d = Fma::fmadd(-W[k], L_[j][k], d);
            }
            if (!(d > 0.0)) return false;
            D[j] = d;
            inv_d_[j] = 1.0 / d;
#pragma GCC unroll 16
            for (int i = j + 1; i < M; i++) {
                double s = A(i, j);
#pragma GCC unroll 16
                for (int k = 0; k < j; k++) s = Fma::fmadd(-L_[i][k], W[k], s);
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
            for (int k = 0; k < i; k++) s = Fma::fmadd(-L_[i][k], y[k], s);
            y[i] = s;
        }
        // Into a local array first: x, written through a reference, could
        // alias L_ for all the compiler knows, and every step would wait for
        // the last store to reach memory.
        double z[M];
        back_substitute(y, z);
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
    // D L^T z = y, from the last unknown to the first: each term's sum starts
    // from y_i / D_i fused with its first product.
    LM_INLINE void back_substitute(const double *y, double *z) const {
#pragma GCC unroll 16
        for (int i = M - 1; i >= 0; i--) {
            double s = y[i] * inv_d_[i];
            if (i < M - 1) {
                const int first = kShortChains ? M - 1 : i + 1;
                s = Fma::fmadd(y[i], inv_d_[i], -(L_[first][i] * z[first]));
                if constexpr (kShortChains) {
#pragma GCC unroll 16
                    for (int k = M - 2; k > i; k--) s = Fma::fmadd(-L_[k][i], z[k], s);
                } else {
#pragma GCC unroll 16
                    for (int k = i + 2; k < M; k++) s = Fma::fmadd(-L_[k][i], z[k], s);
                }
            }
            z[i] = s;
        }
    }

    double L_[M][M];
    double inv_d_[M];
};

}  // namespace lm
