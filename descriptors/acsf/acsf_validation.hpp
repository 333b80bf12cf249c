#pragma once

#include "descriptors/acsf/acsf_options.hpp"

namespace tandril {

// True when the counts are non-negative, every parameter list holds exactly
// the values its count asks for, the cutoff is finite and positive and the
// thread count is not negative (the layout is then well defined).
[[nodiscard]] bool acsf_parameters_are_consistent(const AcsfOptions& options) noexcept;

// Every parameter check of a computation, in order; throws
// std::invalid_argument with the first failure's message.
void validate_acsf_parameters(const AcsfOptions& options);

}  // namespace tandril
