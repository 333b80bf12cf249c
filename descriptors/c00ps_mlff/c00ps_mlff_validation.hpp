#pragma once

#include "descriptors/c00ps_mlff/c00ps_mlff_options.hpp"

namespace tandril {

// Every construction check in order; throws std::invalid_argument with the
// first failure's message.
void validate_c00ps_mlff_options(const C00PSMlffOptions& options);

}  // namespace tandril
