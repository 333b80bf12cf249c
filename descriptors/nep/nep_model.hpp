#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace tandril {

// The optional many-body terms of the angular descriptor, in slot order.
enum class NepAngularFlag : std::size_t { four_body, five_body, triple_112, triple_123, triple_233, triple_134 };
inline constexpr std::size_t nep_angular_flag_count = 6;

// What the NEP descriptor needs from a model file. Built once by
// load_nep_model, then shared read-only by every calculator built from it.
//
// Coefficients c(n, k, i, j) (descriptor index n, basis index k, centre type
// i, neighbour type j; N = n_max and b = basis size of the radial or angular
// part) are kept twice: in file order at (n (b+1) + k) T^2 + i T + j, and in
// pair order at ((i T + j)(N+1) + n)(b+1) + k, so that one ordered type pair
// reads one contiguous block.
struct NepModel {
    std::string model_path;
    std::int32_t version = 0;
    std::int32_t num_types = 0;
    std::int32_t n_max_radial = 0;
    std::int32_t n_max_angular = 0;
    std::int32_t basis_size_radial = 0;
    std::int32_t basis_size_angular = 0;
    std::int32_t l_max = 0;
    std::int32_t num_angular_slots = 0;
    std::array<bool, nep_angular_flag_count> angular_flags{};
    std::int32_t feature_count = 0;
    double radial_cutoff = 0.0;
    double angular_cutoff = 0.0;
    std::vector<std::int32_t> species;
    std::vector<double> type_radial_cutoffs;
    std::vector<double> type_angular_cutoffs;
    std::vector<double> radial_coefficients;
    std::vector<double> angular_coefficients;
    std::vector<double> pair_radial_coefficients;
    std::vector<double> pair_angular_coefficients;
    std::vector<double> pair_radial_cutoffs;   // (i, j) at i T + j: mean of the two type cutoffs
    std::vector<double> pair_angular_cutoffs;
    std::vector<double> descriptor_scales;
    std::unordered_map<std::int32_t, std::int32_t> type_of_number;

    [[nodiscard]] bool flag(NepAngularFlag which) const noexcept {
        return angular_flags[static_cast<std::size_t>(which)];
    }
};

// Reads a NEP model file (versions 3 to 5, ordinary energy models). Every
// test has its own message; the first failing one ends the load. Errors:
// std::runtime_error when the file cannot be opened, std::overflow_error
// when a coefficient count overflows 64 bits, std::invalid_argument for
// every format fault.
[[nodiscard]] std::shared_ptr<const NepModel> load_nep_model(const std::string& path);

}  // namespace tandril
