#include "core/radial_orthonormalisation.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace tandril {

void jacobi_eigen_decomposition(std::int32_t n, std::vector<double>& A, std::vector<double>& V, double tolerance,
                                std::int64_t max_rotations) {
    const auto N = static_cast<std::size_t>(n);
    V.assign(N * N, 0.0);
    for (std::size_t k = 0; k < N; ++k) V[k * N + k] = 1.0;
    auto at = [&](std::size_t i, std::size_t j) -> double& { return A[i * N + j]; };

    for (std::int64_t rotation = 0; rotation < max_rotations; ++rotation) {
        std::size_t p = 0, q = 0;
        double largest = -1.0;
        for (std::size_t i = 0; i < N; ++i)
            for (std::size_t j = i + 1; j < N; ++j)
                if (std::fabs(at(i, j)) > largest) {
                    largest = std::fabs(at(i, j));
                    p = i;
                    q = j;
                }
        if (largest <= tolerance) break;

        const double theta = 0.5 * std::atan2(2.0 * at(p, q), at(q, q) - at(p, p));
        const double s = std::sin(theta), c = std::cos(theta);
        const double app = at(p, p), aqq = at(q, q), apq = at(p, q);
        at(p, p) = s * s * aqq + c * c * app - 2.0 * s * c * apq;
        at(q, q) = c * c * aqq + s * s * app + 2.0 * s * c * apq;
        at(p, q) = at(q, p) = 0.0;
        for (std::size_t j = 0; j < N; ++j) {
            if (j == p || j == q) continue;
            const double ajp = at(j, p), ajq = at(j, q);
            at(j, p) = at(p, j) = c * ajp - s * ajq;
            at(j, q) = at(q, j) = s * ajp + c * ajq;
        }
        for (std::size_t k = 0; k < N; ++k) {
            const double vkp = V[k * N + p], vkq = V[k * N + q];
            V[k * N + p] = c * vkp - s * vkq;
            V[k * N + q] = s * vkp + c * vkq;
        }
    }
}

std::vector<double> radial_orthonormalisation(std::int32_t n, std::span<const double> overlap) {
    if (n < 0 || overlap.size() != static_cast<std::size_t>(n) * static_cast<std::size_t>(n))
        throw std::invalid_argument("radial overlap matrix must be square");
    const auto N = static_cast<std::size_t>(n);
    std::vector<double> A(overlap.begin(), overlap.end());
    std::vector<double> V;
    jacobi_eigen_decomposition(n, A, V, 1e-14, 50 * std::int64_t{n} * n);

    std::vector<std::size_t> order(N);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return A[x * N + x] < A[y * N + y]; });

    std::vector<double> T(N * N, 0.0);
    for (const std::size_t k : order) {
        const double lambda = A[k * N + k];
        if (!(lambda > 2.220446049250313e-16))
            throw std::invalid_argument("radial overlap matrix is singular, lower max_radial");
        const double root = std::sqrt(lambda);
        for (std::size_t i = 0; i < N; ++i)
            for (std::size_t j = 0; j < N; ++j) T[i * N + j] += V[i * N + k] * V[j * N + k] / root;
    }
    return T;
}

}  // namespace tandril
