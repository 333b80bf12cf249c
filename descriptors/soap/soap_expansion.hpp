#pragma once

#include <cstdint>
#include <span>

#include "core/compute_control.hpp"
#include "core/neighbors.hpp"
#include "descriptors/soap/real_solid_harmonics.hpp"
#include "descriptors/soap/soap_options.hpp"
#include "descriptors/soap/soap_radial_tables.hpp"
#include "descriptors/soap/soap_workspace.hpp"

namespace tandril {

// Everything the kernel reads during one computation (read-only).
struct SoapKernel {
    const SoapOptions& options;
    const SoapRadialTables& tables;
    const RealSolidHarmonics& harmonics;
    std::span<const std::int32_t> species_of_atom;  // by batch atom index
    std::int32_t channels;
    std::int64_t feature_count;
    // GTO rows come from the cache only where many atoms share distances
    // and the direct path would repeat work: compressed layouts and inner
    // averaging. Identical values either way.
    bool gto_cached;
};

// Sizes the workspace for the kernel and empties radial caches made for
// another basis.
void prepare_soap_workspace(const SoapKernel& kernel, SoapWorkspace& workspace);

// The atoms [first_atom, first_atom + count) of one structure, whose
// neighbour rows are rows 0 .. count-1 of `graph` (neighbour indices relative
// to first_atom). Writes one row per atom from `out`, or one averaged row at
// `out`. Atoms met after a cancellation request are skipped.
void soap_structure(const SoapKernel& kernel, const NeighborGraph& graph, std::int64_t first_atom, std::int64_t count,
                    const ComputeControl& control, SoapWorkspace& workspace, double* out);

}  // namespace tandril
