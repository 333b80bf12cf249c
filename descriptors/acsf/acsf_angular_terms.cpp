#include "descriptors/acsf/acsf_angular_terms.hpp"

#include <algorithm>

namespace tandril {
namespace {

std::int32_t index_of_or_append(std::vector<double>& values, double value) {
    const auto found = std::find(values.begin(), values.end(), value);
    if (found != values.end()) return static_cast<std::int32_t>(found - values.begin());
    values.push_back(value);
    return static_cast<std::int32_t>(values.size() - 1);
}

}  // namespace

AcsfAngularTerms make_acsf_angular_terms(std::span<const double> triples) {
    AcsfAngularTerms terms;
    const std::size_t count = triples.size() / 3;
    terms.eta_of.reserve(count);
    terms.shape_of.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        const double eta = triples[3 * k], zeta = triples[3 * k + 1], lambda = triples[3 * k + 2];
        terms.eta_of.push_back(index_of_or_append(terms.etas, eta));
        std::int32_t shape = -1;
        for (std::size_t s = 0; s < terms.zetas.size(); ++s)
            if (terms.zetas[s] == zeta && terms.lambdas[s] == lambda) {
                shape = static_cast<std::int32_t>(s);
                break;
            }
        if (shape < 0) {
            terms.zetas.push_back(zeta);
            terms.lambdas.push_back(lambda);
            shape = static_cast<std::int32_t>(terms.zetas.size() - 1);
        }
        terms.shape_of.push_back(shape);
    }
    return terms;
}

}  // namespace tandril
