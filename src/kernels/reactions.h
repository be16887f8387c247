// The reaction system of kinetics.h and the matrices its integrator solves:
// the rates, their Jacobian (a band of two diagonals either side plus the
// monomer's row and column), the change of the rates along a direction and
// in each constant, and mu I - J factored in O(N) for real and complex mu.
// Internal to the kernels (kinetics.cpp); plain C++.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kinetics.h"

namespace kelvara::kinetics::detail {

// A complex number with plain arithmetic (the library's multiplication
// guards against infinities through a function call per product).
struct Cx {
    double re = 0.0;
    double im = 0.0;
};
inline Cx operator+(Cx a, Cx b) noexcept { return {a.re + b.re, a.im + b.im}; }
inline Cx operator-(Cx a, Cx b) noexcept { return {a.re - b.re, a.im - b.im}; }
inline Cx operator*(Cx a, Cx b) noexcept { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
inline Cx operator/(Cx a, Cx b) noexcept {
    const double d = b.re * b.re + b.im * b.im;
    return {(a.re * b.re + a.im * b.im) / d, (a.im * b.re - a.re * b.im) / d};
}
inline bool usable(double x) noexcept { return std::isfinite(x) && x != 0.0; }
inline bool usable(Cx x) noexcept { return std::isfinite(x.re) && std::isfinite(x.im) && (x.re != 0.0 || x.im != 0.0); }
inline Cx as(double x, Cx) noexcept { return {x, 0.0}; }
inline double as(double x, double) noexcept { return x; }

// The Jacobian: the corner d(dm/dt)/dm, the monomer's column and row (over
// indices 1 .. dim-1) and the band of the rest, two diagonals either side:
// band[5 r + 2 + (c - r)] holds the entry (r, c) of the indices 1 .. dim-1
// counted from 0.
struct Jacobian {
    double corner = 0.0;
    std::vector<double> column;
    std::vector<double> row;
    std::vector<double> band;
};

// The geometric closure c_{N+1} = P^2 / Q and its derivatives.  Every
// aggregate beyond N exceeds it by one or more, so Q >= P; where rounding
// or a loose tolerance on tiny amounts breaks that, the (N+1)-mers are all
// of the tail (c_{N+1} = P), and none where P <= 0: continuous throughout.
struct Closure {
    double value = 0.0;
    double d_p = 0.0;
    double d_q = 0.0;
};

inline Closure closure(double p, double q) noexcept {
    if (!(p > 0.0)) {
        return {};
    }
    if (!(q > p)) {
        return {p, 1.0, 0.0};
    }
    const double ratio = p / q;
    return {p * ratio, 2.0 * ratio, -(ratio * ratio)};
}

class System {
public:
    System(const Rates& rates, std::size_t dim)
        : n_(dim - 2), nuc_size_(rates.nuc_size), grow_(n_ + 1), shrink_(n_ + 1) {
        // reaction i (1 .. N) makes an aggregate of i + 1
        for (std::size_t i = 1; i <= n_; ++i) {
            const bool nucleation = i + 1 <= rates.nuc_size;
            const double f = nucleation ? rates.ratio * rates.k_plus : rates.k_plus;
            const double constant = nucleation ? rates.sigma * rates.k : rates.k;
            grow_[i] = f * rates.c_tot;
            shrink_[i] = f / constant;
        }
    }

    std::size_t size() const noexcept { return n_; }

    // dy/dt at y.
    void rate(const double* y, double* dy) const noexcept { combine(y, dy, Multipliers{}); }

    // The derivative of dy/dt at y in one parameter's logarithm (see
    // Forcing; none leaves dy zero).
    void forcing(Forcing kind, const double* y, double* dy) const noexcept {
        switch (kind) {
            case Forcing::ln_k:  // every loss rate goes as 1/K
                combine(y, dy, {0.0, -1.0, 0.0, -1.0});
                return;
            case Forcing::ln_sigma:  // the losses up to the nucleus as 1/sigma
                combine(y, dy, {0.0, -1.0, 0.0, 0.0});
                return;
            case Forcing::ln_k_plus:  // every rate goes as k+
                combine(y, dy, Multipliers{});
                return;
            case Forcing::ln_ratio:  // the rates up to the nucleus as a
                combine(y, dy, {1.0, 1.0, 0.0, 0.0});
                return;
            case Forcing::none:
                break;
        }
        std::fill(dy, dy + n_ + 2, 0.0);
    }

    // J(y) s: the change of dy/dt at y along s.
    void tangent(const double* y, const double* s, double* ds) const noexcept {
        const double m = y[0];
        const double dm = s[0];
        const double first = grow_[1] * (2.0 * m * dm) - shrink_[1] * s[1];
        double consumed = 2.0 * first;
        double previous = first;
        for (std::size_t i = 2; i < n_; ++i) {
            const double r = grow_[i] * (dm * y[i - 1] + m * s[i - 1]) - shrink_[i] * s[i];
            ds[i - 1] = previous - r;
            consumed += r;
            previous = r;
        }
        const double p = y[n_];
        const Closure tail = closure(p, y[n_ + 1]);
        const double d_tail = tail.d_p * s[n_] + tail.d_q * s[n_ + 1];
        const double last = grow_[n_] * (dm * y[n_ - 1] + m * s[n_ - 1]) - shrink_[n_] * d_tail;
        ds[n_ - 1] = previous - last;
        consumed += last;
        const double growth = grow_[n_] * (dm * p + m * s[n_]) - shrink_[n_] * (s[n_] - d_tail);
        ds[n_] = last;
        ds[n_ + 1] = last + growth;
        ds[0] = -(consumed + growth);
    }

    void jacobian(const double* y, Jacobian& jac) const {
        const std::size_t size = n_ + 1;  // indices 1 .. N + 1
        jac.column.assign(size, 0.0);
        jac.row.assign(size, 0.0);
        jac.band.assign(5 * size, 0.0);
        auto at = [&](std::size_t r, std::size_t c) -> double& { return jac.band[5 * r + 2 + c - r]; };
        const double m = y[0];
        // weights of each reaction in dm/dt: 2 for the first, 1 after
        double corner = -4.0 * grow_[1] * m;
        for (std::size_t i = 2; i <= n_; ++i) {
            const std::size_t r = i - 2;  // the row of c_i among indices 1 .. N + 1
            const double ci = y[i - 1];
            const double d_prev_m = i == 2 ? 2.0 * grow_[1] * m : grow_[i - 1] * y[i - 2];
            jac.column[r] = d_prev_m - grow_[i] * ci;
            if (i >= 3) {
                at(r, r - 1) = grow_[i - 1] * m;
            }
            at(r, r) = -shrink_[i - 1] - grow_[i] * m;
            if (i < n_) {
                at(r, r + 1) = shrink_[i];
            }
            jac.row[r] = (i == 2 ? 2.0 : 1.0) * shrink_[i - 1] - grow_[i] * m;
            corner -= grow_[i] * ci;
        }
        const double p = y[n_];
        const double q = y[n_ + 1];
        const Closure tail = closure(p, q);
        const double g = grow_[n_];
        const double h = shrink_[n_];
        const std::size_t last = n_ - 2;  // the row of c_N
        const std::size_t row_p = n_ - 1;
        const std::size_t row_q = n_;
        // r_N = g m c_N - h T(P, Q); G = g m P - h (P - T)
        at(last, row_p) = h * tail.d_p;
        at(last, row_q) = h * tail.d_q;
        at(row_p, last) = g * m;
        at(row_p, row_p) = -h * tail.d_p;
        at(row_p, row_q) = -h * tail.d_q;
        const double growth_p = g * m - h + h * tail.d_p;
        const double growth_q = h * tail.d_q;
        at(row_q, last) = g * m;
        at(row_q, row_p) = -h * tail.d_p + growth_p;
        at(row_q, row_q) = -h * tail.d_q + growth_q;
        jac.column[row_p] = g * y[n_ - 1];
        jac.column[row_q] = g * y[n_ - 1] + g * p;
        jac.row[row_p] = h * tail.d_p - growth_p;
        jac.row[row_q] = h * tail.d_q - growth_q;
        jac.corner = corner - g * p;
    }

private:
    // What multiplies each reaction's growth and loss terms, up to the
    // nucleus and beyond: r_i = a g_i m c_i - b h_i c_(i+1).
    struct Multipliers {
        double grow_nucleation = 1.0;
        double shrink_nucleation = 1.0;
        double grow_elongation = 1.0;
        double shrink_elongation = 1.0;
    };

    // The reactions' net rates, each multiplied as said, summed into dy.
    void combine(const double* y, double* dy, const Multipliers& times) const noexcept {
        const double m = y[0];
        auto net = [&](std::size_t i, double grown, double lost) {
            const bool nucleation = i + 1 <= nuc_size_;
            const double a = nucleation ? times.grow_nucleation : times.grow_elongation;
            const double b = nucleation ? times.shrink_nucleation : times.shrink_elongation;
            return a * (grow_[i] * grown) - b * (shrink_[i] * lost);
        };
        const double first = net(1, m * m, y[1]);
        double consumed = 2.0 * first;
        double previous = first;
        for (std::size_t i = 2; i < n_; ++i) {  // c_i is y[i - 1]
            const double r = net(i, m * y[i - 1], y[i]);
            dy[i - 1] = previous - r;
            consumed += r;
            previous = r;
        }
        const double p = y[n_];
        const double q = y[n_ + 1];
        const Closure tail = closure(p, q);
        const double last = net(n_, m * y[n_ - 1], tail.value);
        dy[n_ - 1] = previous - last;
        consumed += last;
        const double growth = times.grow_elongation * (grow_[n_] * (m * p)) -
                              times.shrink_elongation * (shrink_[n_] * (p - tail.value));
        dy[n_] = last;
        dy[n_ + 1] = last + growth;
        dy[0] = -(consumed + growth);
    }

    std::size_t n_;
    std::uint32_t nuc_size_;
    std::vector<double> grow_;
    std::vector<double> shrink_;
};

// mu I - J, factored: the band by Gaussian elimination without pivoting (the
// band of mu I - J is diagonally dominant by columns apart from the tail's
// two), the monomer by its Schur complement.  Two rows of padding (their
// off-diagonal entries zero) spare the loops their bounds checks.
template <typename S>
class Factored {
public:
    bool factor(const Jacobian& jac, S mu) {
        const std::size_t size = jac.column.size();
        size_ = size;
        band_.assign(5 * (size + 2), S{});
        inverse_.resize(size);
        for (std::size_t i = 0; i < 5 * size; ++i) {
            band_[i] = as(-jac.band[i], S{});
        }
        for (std::size_t r = 0; r < size; ++r) {
            band_[5 * r + 2] = band_[5 * r + 2] + mu;
        }
        for (std::size_t k = 0; k < size; ++k) {
            const S pivot = band_[5 * k + 2];
            if (!usable(pivot)) {
                return false;
            }
            const S inverse = as(1.0, S{}) / pivot;
            inverse_[k] = inverse;
            const S right = band_[5 * k + 3];
            const S far = band_[5 * k + 4];
            S* next = &band_[5 * (k + 1)];
            const S l1 = next[1] * inverse;
            next[1] = l1;
            next[2] = next[2] - l1 * right;
            next[3] = next[3] - l1 * far;
            S* after = &band_[5 * (k + 2)];
            const S l2 = after[0] * inverse;
            after[0] = l2;
            after[1] = after[1] - l2 * right;
            after[2] = after[2] - l2 * far;
        }
        // w = C^-1 v with v the monomer's column (A's entry is -v)
        column_.resize(size);
        for (std::size_t i = 0; i < size; ++i) {
            column_[i] = as(jac.column[i], S{});
        }
        solve_band(column_.data());
        row_ = jac.row;
        S schur = mu - as(jac.corner, S{});
        for (std::size_t i = 0; i < size; ++i) {
            schur = schur - as(row_[i], S{}) * column_[i];
        }
        schur_ = schur;
        return usable(schur_);
    }

    // x = (mu I - J)^-1 b, in place; b[0] is the monomer's.
    void solve(S* b) const {
        const std::size_t size = size_;
        S* rest = b + 1;
        solve_band(rest);
        S top = b[0];
        for (std::size_t i = 0; i < size; ++i) {
            top = top + as(row_[i], S{}) * rest[i];
        }
        const S x0 = top / schur_;
        b[0] = x0;
        for (std::size_t i = 0; i < size; ++i) {
            rest[i] = rest[i] + column_[i] * x0;
        }
    }

private:
    void solve_band(S* b) const {
        const std::size_t size = size_;  // 3 or more
        const S* band = band_.data();
        b[1] = b[1] - band[5 + 1] * b[0];
        for (std::size_t r = 2; r < size; ++r) {
            b[r] = b[r] - band[5 * r + 1] * b[r - 1] - band[5 * r] * b[r - 2];
        }
        b[size - 1] = b[size - 1] * inverse_[size - 1];
        b[size - 2] = (b[size - 2] - band[5 * (size - 2) + 3] * b[size - 1]) * inverse_[size - 2];
        for (std::size_t k = size - 2; k-- > 0;) {
            b[k] = (b[k] - band[5 * k + 3] * b[k + 1] - band[5 * k + 4] * b[k + 2]) * inverse_[k];
        }
    }

    std::vector<S> band_;
    std::vector<S> inverse_;
    std::vector<S> column_;
    std::vector<double> row_;
    std::size_t size_ = 0;
    S schur_{};
};

}  // namespace kelvara::kinetics::detail
