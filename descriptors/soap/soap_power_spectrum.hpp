#pragma once

#include <cstdint>

#include "descriptors/soap/soap_workspace.hpp"

namespace tandril {

struct SoapRadialTables;

// Writes the power spectrum of coefficients c[ch][lm][n] in the layout of the
// compression (`total_density` and `dots` are scratch). Returns the number of
// values written.
std::int64_t write_soap_power_spectrum(const double* coefficients, std::int32_t compression, std::int32_t channels,
                                       const SoapRadialTables& tables, SoapWorkspace& workspace, double* row);

}  // namespace tandril
