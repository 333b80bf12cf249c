#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "descriptors/nep/chemical_elements.hpp"
#include "descriptors/nep/model_text.hpp"
#include "descriptors/nep/nep_model.hpp"

namespace tandril {
namespace {

using Count = std::uint64_t;
constexpr Count count_unbounded = std::numeric_limits<Count>::max();

[[noreturn]] void invalid(const std::string& message) { throw std::invalid_argument(message); }
[[noreturn]] void end_of_model() { invalid("unexpected end of NEP model"); }

// Saturating arithmetic for the weight count: a count past 64 bits cannot be
// held by any file, so it simply makes the block too short.
Count saturating_add(Count a, Count b) noexcept {
    Count sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? count_unbounded : sum;
}
Count saturating_mul(Count a, Count b) noexcept {
    Count product = 0;
    return __builtin_mul_overflow(a, b, &product) ? count_unbounded : product;
}

Count checked_mul(Count a, Count b, const char* what) {
    Count product = 0;
    if (__builtin_mul_overflow(a, b, &product)) throw std::overflow_error(std::string("NEP ") + what + " is too large");
    return product;
}

// Walks the keyword lines in their fixed order.
class ModelReader {
public:
    ModelReader(const ModelText& text, NepModel& model) : text_(text), model_(model) {}

    void read() {
        read_header();
        if (text_.line_count() < 2) end_of_model();
        line_ = 1;
        if (token(0) == "zbl") {
            if (text_.line_count() < 3) end_of_model();
            line_ = 2;
        }
        read_cutoffs();
        ++line_;
        read_n_max();
        read_basis_size();
        read_l_max();
        check_dimensions();
        read_ann();
        read_parameters();
    }

private:
    [[nodiscard]] std::string_view token(std::size_t index) const { return text_.token(line_, index); }
    [[nodiscard]] std::size_t tokens() const { return text_.token_count(line_); }
    [[nodiscard]] std::int32_t integer(std::size_t index, std::string_view name) const {
        return parse_int32_token(token(index), name);
    }

    // The next keyword line: present, with the expected token count (exactly,
    // or at least) and keyword.
    void next_keyword_line(std::string_view keyword, std::size_t count, bool at_least, const char* malformed) {
        if (line_ >= text_.line_count()) end_of_model();
        const bool count_ok = at_least ? tokens() >= count : tokens() == count;
        if (!count_ok || token(0) != keyword) invalid(malformed);
    }

    void read_header() {
        if (text_.line_count() == 0) invalid("invalid NEP model header");
        line_ = 0;
        if (tokens() < 3 || !token(0).starts_with("nep")) invalid("invalid NEP model header");
        const std::string_view first = token(0);
        model_.version = parse_int32_token(first.substr(3, 1), "NEP version");
        if (model_.version < 3 || model_.version > 5) invalid("unsupported NEP model version");
        for (const std::string_view variant : {"spin", "charge", "dipole", "polar"})
            if (first.find(variant) != std::string_view::npos)
                invalid("NepCalculator currently supports ordinary NEP descriptors only");
        const std::int32_t types = integer(1, "number of NEP atom types");
        if (types < 1 || static_cast<std::int64_t>(tokens()) != std::int64_t{types} + 2)
            invalid("NEP model header has an invalid atom type list");
        model_.num_types = types;
        model_.species.reserve(static_cast<std::size_t>(types));
        for (std::int32_t t = 0; t < types; ++t) {
            const std::string_view symbol = token(2 + static_cast<std::size_t>(t));
            const std::int32_t number = atomic_number_of_symbol(symbol);
            if (number == 0) invalid("unknown element in NEP model: " + message_text(symbol));
            model_.species.push_back(number);
            model_.type_of_number.try_emplace(number, t);  // a repeated element keeps its first type
        }
    }

    void read_cutoffs() {
        if (token(0).starts_with("spin_")) invalid("spin NEP descriptors are not supported by NepCalculator");
        if (token(0) != "cutoff") invalid("NEP model is missing cutoff");
        const auto types = static_cast<std::size_t>(model_.num_types);
        std::vector<double>& radial = model_.type_radial_cutoffs;
        std::vector<double>& angular = model_.type_angular_cutoffs;
        if (tokens() == 5) {
            const double r = parse_real_token(token(1), "radial cutoff");
            const double a = parse_real_token(token(2), "angular cutoff");
            radial.assign(types, r);
            angular.assign(types, a);
        } else {
            if (static_cast<std::uint64_t>(tokens()) != 2 * std::uint64_t{types} + 3)
                invalid("NEP cutoff line has an invalid number of values");
            radial.resize(types);
            angular.resize(types);
            for (std::size_t t = 0; t < types; ++t) {
                radial[t] = parse_real_token(token(1 + 2 * t), "radial cutoff");
                angular[t] = parse_real_token(token(2 + 2 * t), "angular cutoff");
            }
        }
        for (std::size_t t = 0; t < types; ++t)
            if (!(radial[t] > 0.0) || !(angular[t] > 0.0)) invalid("NEP cutoffs must be positive");
        model_.radial_cutoff = *std::max_element(radial.begin(), radial.end());
        model_.angular_cutoff = *std::max_element(angular.begin(), angular.end());
    }

    void read_n_max() {
        next_keyword_line("n_max", 3, false, "invalid NEP n_max line");
        model_.n_max_radial = integer(1, "radial n_max");
        model_.n_max_angular = integer(2, "angular n_max");
        ++line_;
    }

    void read_basis_size() {
        next_keyword_line("basis_size", 3, false, "invalid NEP basis_size line");
        model_.basis_size_radial = integer(1, "radial basis size");
        model_.basis_size_angular = integer(2, "angular basis size");
        ++line_;
    }

    void read_l_max() {
        next_keyword_line("l_max", 4, true, "invalid NEP l_max line");
        model_.l_max = integer(1, "l_max");
        if (model_.l_max < 0 || model_.l_max > 8) invalid("NEP l_max must be in [0, 8]");
        std::int32_t slots = model_.l_max;
        for (std::size_t f = 0; f < nep_angular_flag_count && 2 + f < tokens(); ++f) {
            model_.angular_flags[f] = integer(2 + f, "NEP angular flag") != 0;
            if (model_.angular_flags[f]) ++slots;
        }
        model_.num_angular_slots = slots;
        ++line_;
    }

    void check_dimensions() {
        const NepModel& m = model_;
        if (m.n_max_radial < 0 || m.n_max_angular < 0 || m.basis_size_radial < 0 || m.basis_size_angular < 0)
            invalid("invalid NEP descriptor dimensions");
        const std::int64_t features = (std::int64_t{m.n_max_radial} + 1) +
                                      (std::int64_t{m.n_max_angular} + 1) * m.num_angular_slots;
        if (features < 1 || features > 256) invalid("invalid NEP descriptor dimensions");
        model_.feature_count = static_cast<std::int32_t>(features);
    }

    void read_ann() {
        next_keyword_line("ANN", 3, false, "invalid NEP ANN line");
        hidden_1_ = integer(1, "NEP first hidden layer size");
        hidden_2_ = integer(2, "NEP second hidden layer size");
        if (hidden_1_ < 1 || hidden_2_ < 0) invalid("invalid NEP ANN sizes");
        if (hidden_2_ > 0 && model_.version != 4) invalid("unsupported two-layer NEP model");
        ++line_;
    }

    // Network weights that precede the descriptor coefficients.
    [[nodiscard]] Count network_weight_count() const {
        const Count h1 = static_cast<Count>(hidden_1_), h2 = static_cast<Count>(hidden_2_);
        const Count d = static_cast<Count>(model_.feature_count), t = static_cast<Count>(model_.num_types);
        if (h2 > 0)
            return saturating_mul(saturating_add(h1 * (d + 1), saturating_mul(h2, h1 + 2)), t);
        switch (model_.version) {
            case 3: return h1 * (d + 2);
            case 4: return saturating_mul(h1 * (d + 2), t);
            default: return saturating_add(saturating_mul(h1 * (d + 2), t), t);
        }
    }

    void read_parameters() {
        // Every value is read (and must be a finite real) before any count is tested.
        const std::size_t count = line_ < text_.line_count() ? text_.tokens_after(line_) : 0;
        const std::string_view* tokens = count > 0 ? text_.tokens_from(line_) : nullptr;
        std::vector<double> block(count);
        for (std::size_t i = 0; i < count; ++i) block[i] = parse_real_token(tokens[i], "NEP parameter");

        const NepModel& m = model_;
        const Count types_squared = static_cast<Count>(m.num_types) * static_cast<Count>(m.num_types);
        const Count radial_basis = checked_mul(static_cast<Count>(m.n_max_radial) + 1,
                                               static_cast<Count>(m.basis_size_radial) + 1, "radial basis");
        const Count radial_count = checked_mul(radial_basis, types_squared, "radial coefficients");
        const Count angular_basis = checked_mul(static_cast<Count>(m.n_max_angular) + 1,
                                                static_cast<Count>(m.basis_size_angular) + 1, "angular basis");
        const Count angular_count = checked_mul(angular_basis, types_squared, "angular coefficients");
        const Count weights = network_weight_count();
        const Count features = static_cast<Count>(m.feature_count);
        const Count required =
            saturating_add(saturating_add(saturating_add(saturating_add(weights, 1), radial_count), angular_count),
                           features);
        if (static_cast<Count>(block.size()) < required) invalid("NEP model parameter block is truncated");

        const auto at = [&](Count position) { return block.begin() + static_cast<std::ptrdiff_t>(position); };
        const Count radial_begin = weights + 1;
        const Count angular_begin = radial_begin + radial_count;
        const Count scales_begin = angular_begin + angular_count;
        model_.radial_coefficients.assign(at(radial_begin), at(angular_begin));
        model_.angular_coefficients.assign(at(angular_begin), at(scales_begin));
        model_.descriptor_scales.assign(at(scales_begin), at(scales_begin + features));
    }

    const ModelText& text_;
    NepModel& model_;
    std::size_t line_ = 0;
    std::int32_t hidden_1_ = 0;
    std::int32_t hidden_2_ = 0;
};

// File order (n (b+1) + k) T^2 + i T + j -> pair order ((i T + j)(N+1) + n)(b+1) + k.
std::vector<double> pair_ordered(const std::vector<double>& file_order, std::size_t n_count, std::size_t k_count,
                                 std::size_t types) {
    const std::size_t pairs = types * types;
    std::vector<double> out(file_order.size());
    for (std::size_t n = 0; n < n_count; ++n)
        for (std::size_t k = 0; k < k_count; ++k)
            for (std::size_t p = 0; p < pairs; ++p)
                out[(p * n_count + n) * k_count + k] = file_order[(n * k_count + k) * pairs + p];
    return out;
}

std::vector<double> pair_cutoffs(const std::vector<double>& type_cutoffs) {
    const std::size_t types = type_cutoffs.size();
    std::vector<double> out(types * types);
    for (std::size_t i = 0; i < types; ++i)
        for (std::size_t j = 0; j < types; ++j) out[i * types + j] = (type_cutoffs[i] + type_cutoffs[j]) / 2.0;
    return out;
}

}  // namespace

std::shared_ptr<const NepModel> load_nep_model(const std::string& path) {
    auto model = std::make_shared<NepModel>();
    model->model_path = path;
    {
        const ModelText text(read_model_file(path));
        ModelReader(text, *model).read();
    }
    const auto types = static_cast<std::size_t>(model->num_types);
    model->pair_radial_coefficients =
        pair_ordered(model->radial_coefficients, static_cast<std::size_t>(model->n_max_radial) + 1,
                     static_cast<std::size_t>(model->basis_size_radial) + 1, types);
    model->pair_angular_coefficients =
        pair_ordered(model->angular_coefficients, static_cast<std::size_t>(model->n_max_angular) + 1,
                     static_cast<std::size_t>(model->basis_size_angular) + 1, types);
    model->pair_radial_cutoffs = pair_cutoffs(model->type_radial_cutoffs);
    model->pair_angular_cutoffs = pair_cutoffs(model->type_angular_cutoffs);
    return model;
}

}  // namespace tandril
