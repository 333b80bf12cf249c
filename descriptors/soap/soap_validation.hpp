#pragma once

#include "descriptors/soap/soap_options.hpp"

namespace tandril {

// Every parameter check of a SOAP computation, in order; the first failure
// raises std::invalid_argument with its fixed message.
void validate_soap_options(const SoapOptions& options);

// The averaging flags given to a computation size the result; the stored
// flags decide how it is filled. Both must agree, or rows would be missing
// or written past the end.
void check_soap_averaging_arguments(const SoapOptions& options, bool inner_average, bool outer_average);

}  // namespace tandril
