#include "descriptors/soap/positive_definite_jacobi.hpp"

#include <cfloat>
#include <cmath>

namespace tandril {
namespace {

constexpr int sweep_limit = 100;

struct Rotation {
    double c = 1.0;
    double s = 0.0;
    double t = 0.0;
};

// The rotation that zeroes the off-diagonal of [[app, apq], [apq, aqq]].
Rotation rotation_for(double app, double aqq, double apq) noexcept {
    const double theta = (aqq - app) / (2.0 * apq);
    const double t = std::isfinite(theta * theta)
                         ? (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0))
                         : 0.5 / theta;
    const double c = 1.0 / std::sqrt(t * t + 1.0);
    return {c, t * c, t};
}

void rotate_columns(double* p, double* q, std::int64_t length, std::int64_t stride, const Rotation& r) noexcept {
    for (std::int64_t k = 0; k < length; ++k) {
        const double a = p[k * stride], b = q[k * stride];
        p[k * stride] = r.c * a - r.s * b;
        q[k * stride] = r.s * a + r.c * b;
    }
}

}  // namespace

void positive_definite_eigen(std::int32_t n, const std::vector<double>& matrix, std::vector<double>& eigenvalues,
                             std::vector<double>& eigenvectors) {
    const auto un = static_cast<std::size_t>(n);
    std::vector<double> a = matrix;
    eigenvectors.assign(un * un, 0.0);
    for (std::size_t i = 0; i < un; ++i) eigenvectors[i * un + i] = 1.0;
    for (int sweep = 0; sweep < sweep_limit; ++sweep) {
        bool rotated = false;
        for (std::size_t p = 0; p + 1 < un; ++p)
            for (std::size_t q = p + 1; q < un; ++q) {
                const double apq = a[p * un + q];
                const double app = a[p * un + p], aqq = a[q * un + q];
                if (!(std::fabs(apq) > DBL_EPSILON * std::sqrt(std::fabs(app * aqq)))) continue;
                rotated = true;
                const Rotation r = rotation_for(app, aqq, apq);
                a[p * un + p] = app - r.t * apq;
                a[q * un + q] = aqq + r.t * apq;
                a[p * un + q] = a[q * un + p] = 0.0;
                for (std::size_t k = 0; k < un; ++k) {
                    if (k == p || k == q) continue;
                    const double akp = a[k * un + p], akq = a[k * un + q];
                    a[k * un + p] = a[p * un + k] = r.c * akp - r.s * akq;
                    a[k * un + q] = a[q * un + k] = r.s * akp + r.c * akq;
                }
                rotate_columns(eigenvectors.data() + p, eigenvectors.data() + q, n, n, r);
            }
        if (!rotated) break;
    }
    eigenvalues.resize(un);
    for (std::size_t i = 0; i < un; ++i) eigenvalues[i] = a[i * un + i];
}

void one_sided_jacobi(std::int64_t rows, std::int32_t cols, std::vector<double>& columns,
                      std::vector<double>& rotation) {
    const auto uc = static_cast<std::size_t>(cols);
    rotation.assign(uc * uc, 0.0);
    for (std::size_t i = 0; i < uc; ++i) rotation[i * uc + i] = 1.0;
    const auto column = [&](std::size_t k) { return columns.data() + k * static_cast<std::size_t>(rows); };
    for (int sweep = 0; sweep < sweep_limit; ++sweep) {
        bool rotated = false;
        for (std::size_t p = 0; p + 1 < uc; ++p)
            for (std::size_t q = p + 1; q < uc; ++q) {
                double alpha = 0.0, beta = 0.0, gamma = 0.0;
                const double* xp = column(p);
                const double* xq = column(q);
                for (std::int64_t i = 0; i < rows; ++i) {
                    alpha += xp[i] * xp[i];
                    beta += xq[i] * xq[i];
                    gamma += xp[i] * xq[i];
                }
                if (!(std::fabs(gamma) > DBL_EPSILON * std::sqrt(alpha * beta))) continue;
                rotated = true;
                const Rotation r = rotation_for(alpha, beta, gamma);
                rotate_columns(column(p), column(q), rows, 1, r);
                rotate_columns(rotation.data() + p, rotation.data() + q, cols, cols, r);
            }
        if (!rotated) break;
    }
}

}  // namespace tandril
