#pragma once

// Angular part of the NEP descriptor: the unnormalised spherical-harmonic
// polynomials of one neighbour direction, and the rotation invariants built
// from their sums over neighbours.
//
// Sums of order l occupy S[l^2 - 1] .. S[l^2 + 2l - 1]: first m = 0, then for
// m = 1 .. l the real and the imaginary part of the m-th component.

#include <cstdint>

namespace tandril::nep {

inline constexpr int max_l = 8;
// Sums read by the many-body terms: orders 1 to 4.
inline constexpr int many_body_sum_count = 24;

[[nodiscard]] constexpr int angular_sum_count(int l_max) noexcept { return l_max * (l_max + 2); }
[[nodiscard]] constexpr int angular_sum_base(int l) noexcept { return l * l - 1; }

// Contraction weights C_lm, row l - 1, column m.
inline constexpr double contraction_weights[max_l][max_l + 1] = {
    {0.238732414637843, 0.238732414637844},
    {0.099471839432435, 1.193662073189216, 0.298415518297304},
    {0.139260575205408, 0.208890862808112, 2.088908628081126, 0.348151438013522},
    {0.011190581936149, 0.447623277445956, 0.223811638722978, 3.13336294212169, 0.391670367765212},
    {0.01367737792196, 0.205160668829396, 5.744498727223098, 0.239354113634296, 4.308374045417322,
     0.430837404541732},
    {0.004041043476943, 0.339447652063184, 0.21215478253949, 0.848619130157958, 0.254585739047388,
     5.60088625904252, 0.466740521586876},
    {0.004662742473395, 0.008159799328442, 0.048958795970652, 0.024479397985326, 1.07709351135433,
     0.269273377838582, 7.00110782380315, 0.500079130271654},
    {8.2569397966e-5, 0.011889993307158, 0.208074882875268, 1.525882474418636, 0.228882371162796,
     11.901883300465355, 0.283378173820604, 8.50134521461811, 0.531334075913632},
};

// Polynomial factors of one direction (u = z/r, w = (x + iy)/r) for the
// orders 1 .. l_max, laid out like the sums: P_l0(u), then P_lm(u) times the
// real and imaginary part of w^m. `LMax` fixes the order at compile time
// (0: use `l_max`).
template <int LMax>
inline void angular_factors(int l_max, double u, double wr, double wi, double* y) noexcept {
    const int l_top = LMax > 0 ? LMax : l_max;
    // Powers of u and complex powers of w, formed once per neighbour.
    double up[max_l + 1];
    double pr[max_l + 1];
    double pim[max_l + 1];
    up[0] = 1.0;
    pr[0] = 1.0;
    pim[0] = 0.0;
    up[1] = u;
    pr[1] = wr;
    pim[1] = wi;
    for (int k = 2; k <= l_top; ++k) {
        up[k] = up[k - 1] * u;
        pr[k] = pr[k - 1] * wr - pim[k - 1] * wi;
        pim[k] = pr[k - 1] * wi + pim[k - 1] * wr;
    }
    const auto put = [&](int l, int m, double p) {
        if (m == 0) {
            y[l * l - 1] = p;
        } else {
            y[l * l - 2 + 2 * m] = p * pr[m];
            y[l * l - 1 + 2 * m] = p * pim[m];
        }
    };
    // P_ll = 1: the factor is w^l itself.
    const auto put_top = [&](int l) {
        y[l * l - 2 + 2 * l] = pr[l];
        y[l * l - 1 + 2 * l] = pim[l];
    };
    const double u2 = up[2], u3 = up[3], u4 = up[4];
    put(1, 0, u);
    put_top(1);
    if (l_top < 2) return;
    put(2, 0, 3.0 * u2 - 1.0);
    put(2, 1, u);
    put_top(2);
    if (l_top < 3) return;
    put(3, 0, 5.0 * u3 - 3.0 * u);
    put(3, 1, 5.0 * u2 - 1.0);
    put(3, 2, u);
    put_top(3);
    if (l_top < 4) return;
    put(4, 0, 35.0 * u4 - 30.0 * u2 + 3.0);
    put(4, 1, 7.0 * u3 - 3.0 * u);
    put(4, 2, 7.0 * u2 - 1.0);
    put(4, 3, u);
    put_top(4);
    if (l_top < 5) return;
    const double u5 = up[5];
    put(5, 0, 63.0 * u5 - 70.0 * u3 + 15.0 * u);
    put(5, 1, 21.0 * u4 - 14.0 * u2 + 1.0);
    put(5, 2, 3.0 * u3 - u);
    put(5, 3, 9.0 * u2 - 1.0);
    put(5, 4, u);
    put_top(5);
    if (l_top < 6) return;
    const double u6 = up[6];
    put(6, 0, 231.0 * u6 - 315.0 * u4 + 105.0 * u2 - 5.0);
    put(6, 1, 33.0 * u5 - 30.0 * u3 + 5.0 * u);
    put(6, 2, 33.0 * u4 - 18.0 * u2 + 1.0);
    put(6, 3, 11.0 * u3 - 3.0 * u);
    put(6, 4, 11.0 * u2 - 1.0);
    put(6, 5, u);
    put_top(6);
    if (l_top < 7) return;
    const double u7 = up[7];
    put(7, 0, 429.0 * u7 - 693.0 * u5 + 315.0 * u3 - 35.0 * u);
    put(7, 1, 429.0 * u6 - 495.0 * u4 + 135.0 * u2 - 5.0);
    put(7, 2, 143.0 * u5 - 110.0 * u3 + 15.0 * u);
    put(7, 3, 143.0 * u4 - 66.0 * u2 + 3.0);
    put(7, 4, 13.0 * u3 - 3.0 * u);
    put(7, 5, 13.0 * u2 - 1.0);
    put(7, 6, u);
    put_top(7);
    if (l_top < 8) return;
    const double u8 = up[8];
    put(8, 0, 6435.0 * u8 - 12012.0 * u6 + 6930.0 * u4 - 1260.0 * u2 + 35.0);
    put(8, 1, 715.0 * u7 - 1001.0 * u5 + 385.0 * u3 - 35.0 * u);
    put(8, 2, 143.0 * u6 - 143.0 * u4 + 33.0 * u2 - 1.0);
    put(8, 3, 39.0 * u5 - 26.0 * u3 + 3.0 * u);
    put(8, 4, 65.0 * u4 - 26.0 * u2 + 1.0);
    put(8, 5, 5.0 * u3 - u);
    put(8, 6, 15.0 * u2 - 1.0);
    put(8, 7, u);
    put_top(8);
}

// sum_m C_lm |S_lm|^2 over m = 0 .. l.
[[nodiscard]] inline double three_body_invariant(int l, const double* S) noexcept {
    const double* c = contraction_weights[l - 1];
    const double* s = S + angular_sum_base(l);
    double q = c[0] * (s[0] * s[0]);
    for (int m = 1; m <= l; ++m) q += c[m] * (s[2 * m - 1] * s[2 * m - 1] + s[2 * m] * s[2 * m]);
    return q;
}

// The optional many-body terms, each read from the sums of orders 1 to 4.
[[nodiscard]] inline double four_body_term(const double* S) noexcept {
    return -0.007499480826664 * S[3] * S[3] * S[3] - 0.134990654879954 * S[3] * (S[4] * S[4] + S[5] * S[5]) +
           0.067495327439977 * S[3] * (S[6] * S[6] + S[7] * S[7]) +
           0.404971964639861 * S[6] * (S[5] * S[5] - S[4] * S[4]) - 0.809943929279723 * S[4] * S[5] * S[7];
}

[[nodiscard]] inline double five_body_term(const double* S) noexcept {
    const double Q = S[1] * S[1] + S[2] * S[2];
    return 0.026596810706114 * S[0] * S[0] * S[0] * S[0] + 0.053193621412227 * S[0] * S[0] * Q +
           0.026596810706114 * Q * Q;
}

[[nodiscard]] inline double triple_112_term(const double* S) noexcept {
    return 0.027493550848847 * S[0] * S[0] * S[3] - 0.013746775424423 * (S[1] * S[1] + S[2] * S[2]) * S[3] +
           0.16496130509308 * S[0] * (S[1] * S[4] + S[2] * S[5]) +
           0.04124032627327 * (S[1] * S[1] - S[2] * S[2]) * S[6] + 0.08248065254654 * S[1] * S[2] * S[7];
}

[[nodiscard]] inline double triple_123_term(const double* S) noexcept {
    return 0.033672585398469 * S[8] * (S[1] * S[4] + S[2] * S[5]) -
           0.008418146349617 * (S[2] * S[6] * S[10] - S[1] * S[7] * S[10] - S[2] * S[7] * S[9] - S[1] * S[6] * S[9]) -
           0.016836292699234 * (S[1] * S[3] * S[9] + S[2] * S[3] * S[10] + S[0] * S[3] * S[8]) -
           0.067345170796937 * S[0] * (S[5] * S[10] + S[4] * S[9]) -
           0.042090731748086 *
               (S[1] * S[7] * S[14] + S[1] * S[6] * S[13] + S[2] * S[6] * S[14] - S[2] * S[7] * S[13]) -
           0.084181463496172 * S[0] * (S[6] * S[11] + S[7] * S[12]) -
           0.168362926992344 *
               (S[1] * S[5] * S[12] + S[1] * S[4] * S[11] + S[2] * S[4] * S[12] - S[2] * S[5] * S[11]);
}

[[nodiscard]] inline double triple_233_term(const double* S) noexcept {
    return 0.321473273819474 *
               (S[4] * S[11] * S[13] + S[4] * S[12] * S[14] + S[5] * S[11] * S[14] - S[5] * S[12] * S[13]) +
           0.192883964291685 *
               (S[4] * S[10] * S[12] + S[4] * S[9] * S[11] + S[5] * S[9] * S[12] - S[5] * S[10] * S[11]) -
           0.12858930952779 * S[8] * (S[6] * S[11] + S[7] * S[12]) + 0.038576792858337 * S[7] * S[9] * S[10] +
           0.032147327381947 *
               (S[7] * S[10] * S[13] - S[7] * S[9] * S[14] - S[6] * S[9] * S[13] - S[6] * S[10] * S[14]) -
           0.026789439484956 * S[3] * (S[13] * S[13] + S[14] * S[14]) +
           0.025717861905558 * S[8] * (S[4] * S[9] + S[5] * S[10]) +
           0.019288396429168 * S[6] * (S[9] * S[9] - S[10] * S[10]) +
           0.009644198214584 * S[3] * (S[9] * S[9] + S[10] * S[10]) + 0.008572620635186 * S[3] * S[8] * S[8];
}

[[nodiscard]] inline double triple_134_term(const double* S) noexcept {
    return 0.25516150070403 *
               (S[2] * S[11] * S[21] - S[2] * S[12] * S[20] + S[1] * S[11] * S[20] + S[1] * S[12] * S[21]) +
           0.08505383356801 * S[0] * (S[13] * S[20] + S[14] * S[21]) +
           0.072903285915437 * S[0] * (S[11] * S[18] + S[12] * S[19]) +
           0.042526916784005 *
               (S[2] * S[13] * S[23] - S[2] * S[14] * S[22] + S[1] * S[13] * S[22] + S[1] * S[14] * S[23]) +
           0.036451642957719 * (S[2] * S[11] * S[17] - S[2] * S[12] * S[16] + S[0] * S[10] * S[17] +
                                S[0] * S[9] * S[16] - S[1] * S[11] * S[16] - S[1] * S[12] * S[17]) +
           0.024301095305146 * S[8] * (S[1] * S[16] + S[2] * S[17]) +
           0.018225821478859 *
               (S[2] * S[9] * S[19] + S[1] * S[9] * S[18] + S[1] * S[10] * S[19] - S[2] * S[10] * S[18]) +
           0.006075273826286 *
               (S[2] * S[13] * S[19] - S[2] * S[14] * S[18] - S[1] * S[13] * S[18] - S[1] * S[14] * S[19]) -
           0.003645164295772 * S[15] * (S[2] * S[10] + S[1] * S[9]) + 0.004860219061029 * S[0] * S[8] * S[15];
}

using ManyBodyTerm = double (*)(const double*) noexcept;

// In flag order: four_body, five_body, triple_112, triple_123, triple_233, triple_134.
inline constexpr ManyBodyTerm many_body_terms[6] = {four_body_term,  five_body_term,  triple_112_term,
                                                     triple_123_term, triple_233_term, triple_134_term};

}  // namespace tandril::nep
