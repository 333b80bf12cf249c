#include "core/neighbors.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "core/bin_grid.hpp"
#include "core/distance_matching.hpp"
#include "core/memory_guard.hpp"

namespace tandril {

// Image records in structure-of-arrays form: one entry per periodic image of
// an atom (its batch index, integer shift and Cartesian position).
struct ImageRecords {
    FillLaterVector<double> x, y, z;
    FillLaterVector<std::int32_t> atom;
    FillLaterVector<std::int32_t> shift;  // 3 per record

    void clear() noexcept {
        x.clear();
        y.clear();
        z.clear();
        atom.clear();
        shift.clear();
    }
    [[nodiscard]] std::size_t size() const noexcept { return atom.size(); }
    void push(std::int32_t j, std::int32_t s1, std::int32_t s2, std::int32_t s3, double px, double py, double pz) {
        atom.push_back(j);
        shift.insert(shift.end(), {s1, s2, s3});
        x.push_back(px);
        y.push_back(py);
        z.push_back(pz);
    }
    void resize(std::size_t n) {
        x.resize(n);
        y.resize(n);
        z.resize(n);
        atom.resize(n);
        shift.resize(3 * n);
    }
};

struct NeighborSearchScratch {
    ImageRecords generated;          // in record order
    ImageRecords sorted;             // grouped by bin, record order kept inside a bin
    std::vector<std::int32_t> record_bin;
    std::vector<std::int32_t> bin_start;
    std::vector<double> fractional;  // 3 per atom of the structure
    // Pruning: the structure's atoms sorted into bins.
    std::vector<std::int32_t> atom_bin;
    std::vector<std::int32_t> atom_bin_start;
    std::vector<std::int32_t> atoms_by_bin;
    std::vector<std::int32_t> cursor;  // next free slot per bin during a counting sort
    FillLaterVector<std::int32_t> matches;  // sorted-record index of every entry of the structure
};

namespace {

constexpr std::int32_t int32_max = std::numeric_limits<std::int32_t>::max();
constexpr const char* too_many_images =
    "neighbor search needs more periodic images than fit in memory: the cutoff is very large for the cell, "
    "or atoms lie very far outside it";

struct Box {
    double lower[3] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::infinity()};
    double upper[3] = {-std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()};

    // Non-finite coordinates are left out so that they cannot blow up the grid.
    void include(double px, double py, double pz) noexcept {
        const double p[3] = {px, py, pz};
        for (int axis = 0; axis < 3; ++axis) {
            if (!std::isfinite(p[axis])) continue;
            lower[axis] = std::min(lower[axis], p[axis]);
            upper[axis] = std::max(upper[axis], p[axis]);
        }
    }
    void close_empty_axes() noexcept {
        for (int axis = 0; axis < 3; ++axis)
            if (lower[axis] > upper[axis]) lower[axis] = upper[axis] = 0.0;
    }
    [[nodiscard]] bool contains(double px, double py, double pz) const noexcept {
        return px >= lower[0] && px <= upper[0] && py >= lower[1] && py <= upper[1] && pz >= lower[2] &&
               pz <= upper[2];
    }
};

struct CellFrame {
    double a[3][3];  // lattice vectors as rows
    double b[3][3];  // reciprocal rows: a_i . b_k = delta_ik
    std::int32_t range[3];
};

void cross(const double* u, const double* v, double* out) noexcept {
    out[0] = u[1] * v[2] - u[2] * v[1];
    out[1] = u[2] * v[0] - u[0] * v[2];
    out[2] = u[0] * v[1] - u[1] * v[0];
}

CellFrame make_cell_frame(const double* cell, double det) {
    CellFrame frame;
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) frame.a[i][k] = cell[3 * i + k];
    for (int i = 0; i < 3; ++i) {
        cross(frame.a[(i + 1) % 3], frame.a[(i + 2) % 3], frame.b[i]);
        for (int k = 0; k < 3; ++k) frame.b[i][k] /= det;
    }
    return frame;
}

// Replication ranges floor(cutoff |b_i| + 1). Atoms spread over more than one
// cell fractionally (unwrapped positions) widen the range by that spread, so
// the graph stays complete; for atoms inside the cell nothing changes.
void set_replication_ranges(CellFrame& frame, double cutoff, const double spread[3]) {
    for (int i = 0; i < 3; ++i) {
        const double* b = frame.b[i];
        const double reach = cutoff * std::sqrt(b[0] * b[0] + b[1] * b[1] + b[2] * b[2]);
        double range = std::floor(reach + 1.0);
        if (spread[i] >= 1.0) range = std::max(range, std::floor(reach + spread[i] + 1e-9));
        // More images than int32 could count cannot be held anyway.
        if (!(range < 1e9)) throw AllocationRefused(too_many_images);
        frame.range[i] = static_cast<std::int32_t>(range);
    }
}

void fractional_coordinates(const CellFrame& frame, const double* positions, std::int64_t count,
                            std::vector<double>& fractional, double spread[3]) {
    fractional.resize(3 * static_cast<std::size_t>(count));
    Box box;
    for (std::int64_t m = 0; m < count; ++m) {
        const double* r = positions + 3 * m;
        double* f = fractional.data() + 3 * m;
        for (int k = 0; k < 3; ++k) f[k] = r[0] * frame.b[k][0] + r[1] * frame.b[k][1] + r[2] * frame.b[k][2];
        box.include(f[0], f[1], f[2]);
    }
    box.close_empty_axes();
    for (int k = 0; k < 3; ++k) spread[k] = box.upper[k] - box.lower[k];
}

// Cartesian box of the structure's atoms widened by the cutoff: an image
// outside it cannot be within the cutoff of any atom, so it is never stored.
Box reach_box(const double* positions, std::int64_t count, double cutoff) {
    Box box;
    for (std::int64_t m = 0; m < count; ++m) box.include(positions[3 * m], positions[3 * m + 1], positions[3 * m + 2]);
    box.close_empty_axes();
    const double margin = cutoff * (1.0 + 1e-9) + 1e-300;
    for (int axis = 0; axis < 3; ++axis) {
        box.lower[axis] -= margin;
        box.upper[axis] += margin;
    }
    return box;
}

void check_image_count(const CellFrame& frame, std::int64_t count) {
    std::int64_t images = 1;
    for (int i = 0; i < 3; ++i) images = checked_product(images, 2 * std::int64_t{frame.range[i]} + 1, too_many_images);
    const std::int64_t records = checked_product(images, count, too_many_images);
    if (records > int32_max) throw AllocationRefused(too_many_images);
    ensure_allocatable(static_cast<std::uint64_t>(records), 5 * sizeof(double), too_many_images);
}

// All images r_j + n1 a1 + n2 a2 + n3 a3 in record order (shift loops outer,
// atoms inner). Returns the bounding box of every record, stored or not.
Box generate_images(const CellFrame& frame, const double* positions, std::int64_t first_atom, std::int64_t count,
                    const Box& reach, ImageRecords& out) {
    out.clear();
    Box all;
    const auto& a = frame.a;
    for (std::int32_t n1 = -frame.range[0]; n1 <= frame.range[0]; ++n1)
        for (std::int32_t n2 = -frame.range[1]; n2 <= frame.range[1]; ++n2)
            for (std::int32_t n3 = -frame.range[2]; n3 <= frame.range[2]; ++n3) {
                const bool zero = n1 == 0 && n2 == 0 && n3 == 0;
                for (std::int64_t m = 0; m < count; ++m) {
                    const double* r = positions + 3 * m;
                    const double px = r[0] + n1 * a[0][0] + n2 * a[1][0] + n3 * a[2][0];
                    const double py = r[1] + n1 * a[0][1] + n2 * a[1][1] + n3 * a[2][1];
                    const double pz = r[2] + n1 * a[0][2] + n2 * a[1][2] + n3 * a[2][2];
                    all.include(px, py, pz);
                    if (zero || reach.contains(px, py, pz))
                        out.push(static_cast<std::int32_t>(first_atom + m), n1, n2, n3, px, py, pz);
                }
            }
    all.close_empty_axes();
    return all;
}

// Sorts the structure's atoms into bins (for the pruning test).
BinGrid bin_atoms(const double* positions, std::int64_t count, double cutoff, NeighborSearchScratch& scratch) {
    Box box;
    for (std::int64_t m = 0; m < count; ++m) box.include(positions[3 * m], positions[3 * m + 1], positions[3 * m + 2]);
    box.close_empty_axes();
    const BinGrid grid = make_bin_grid(box.lower, box.upper, cutoff, count);
    const auto bins = static_cast<std::size_t>(grid.total());
    scratch.atom_bin.resize(static_cast<std::size_t>(count));
    scratch.atom_bin_start.assign(bins + 1, 0);
    for (std::int64_t m = 0; m < count; ++m) {
        const double* r = positions + 3 * m;
        const std::int32_t bin = grid.flat(grid.axis_bin(r[0], 0), grid.axis_bin(r[1], 1), grid.axis_bin(r[2], 2));
        scratch.atom_bin[m] = bin;
        ++scratch.atom_bin_start[bin + 1];
    }
    for (std::size_t b = 0; b < bins; ++b) scratch.atom_bin_start[b + 1] += scratch.atom_bin_start[b];
    scratch.atoms_by_bin.resize(static_cast<std::size_t>(count));
    scratch.cursor.assign(scratch.atom_bin_start.begin(), scratch.atom_bin_start.end() - 1);
    for (std::int64_t m = 0; m < count; ++m)
        scratch.atoms_by_bin[scratch.cursor[scratch.atom_bin[m]]++] = static_cast<std::int32_t>(m);
    return grid;
}

// True when some atom of the structure is strictly closer than the cutoff.
bool near_some_atom(const BinGrid& grid, const NeighborSearchScratch& scratch, const double* positions,
                    double px, double py, double pz, double cutoff) {
    const std::int32_t c[3] = {grid.axis_bin(px, 0), grid.axis_bin(py, 1), grid.axis_bin(pz, 2)};
    for (std::int32_t z = std::max(c[2] - 1, 0); z <= std::min(c[2] + 1, grid.count[2] - 1); ++z)
        for (std::int32_t y = std::max(c[1] - 1, 0); y <= std::min(c[1] + 1, grid.count[1] - 1); ++y) {
            const std::int32_t begin = scratch.atom_bin_start[grid.flat(std::max(c[0] - 1, 0), y, z)];
            const std::int32_t end = scratch.atom_bin_start[grid.flat(std::min(c[0] + 1, grid.count[0] - 1), y, z) + 1];
            for (std::int32_t k = begin; k < end; ++k) {
                const double* r = positions + 3 * scratch.atoms_by_bin[k];
                const double dx = px - r[0], dy = py - r[1], dz = pz - r[2];
                if (std::sqrt(dx * dx + dy * dy + dz * dz) < cutoff) return true;
            }
        }
    return false;
}

// Pruned images: first every atom's zero-shift record, then the images
// (f - n) A with shift -n that lie strictly within the cutoff of some atom.
// Returns the bounding box of the kept records.
Box generate_pruned_images(const CellFrame& frame, const double* positions, std::int64_t first_atom,
                           std::int64_t count, double cutoff, const Box& reach, NeighborSearchScratch& scratch) {
    ImageRecords& out = scratch.generated;
    out.clear();
    Box kept;
    for (std::int64_t m = 0; m < count; ++m) {
        const double* r = positions + 3 * m;
        out.push(static_cast<std::int32_t>(first_atom + m), 0, 0, 0, r[0], r[1], r[2]);
        kept.include(r[0], r[1], r[2]);
    }
    const BinGrid atoms = bin_atoms(positions, count, cutoff, scratch);
    const auto& a = frame.a;
    for (std::int32_t n1 = -frame.range[0]; n1 <= frame.range[0]; ++n1)
        for (std::int32_t n2 = -frame.range[1]; n2 <= frame.range[1]; ++n2)
            for (std::int32_t n3 = -frame.range[2]; n3 <= frame.range[2]; ++n3) {
                if (n1 == 0 && n2 == 0 && n3 == 0) continue;
                for (std::int64_t m = 0; m < count; ++m) {
                    const double* f = scratch.fractional.data() + 3 * m;
                    const double g1 = f[0] - n1, g2 = f[1] - n2, g3 = f[2] - n3;
                    const double px = g1 * a[0][0] + g2 * a[1][0] + g3 * a[2][0];
                    const double py = g1 * a[0][1] + g2 * a[1][1] + g3 * a[2][1];
                    const double pz = g1 * a[0][2] + g2 * a[1][2] + g3 * a[2][2];
                    if (!reach.contains(px, py, pz)) continue;
                    if (!near_some_atom(atoms, scratch, positions, px, py, pz, cutoff)) continue;
                    out.push(static_cast<std::int32_t>(first_atom + m), -n1, -n2, -n3, px, py, pz);
                    kept.include(px, py, pz);
                }
            }
    kept.close_empty_axes();
    return kept;
}

// Counting sort of the records into bins; stable, so record order is kept
// inside every bin.
void sort_into_bins(const BinGrid& grid, NeighborSearchScratch& scratch) {
    const ImageRecords& in = scratch.generated;
    ImageRecords& out = scratch.sorted;
    const std::size_t n = in.size();
    const auto bins = static_cast<std::size_t>(grid.total());
    scratch.record_bin.resize(n);
    scratch.bin_start.assign(bins + 1, 0);
    for (std::size_t r = 0; r < n; ++r) {
        const std::int32_t bin = grid.flat(grid.axis_bin(in.x[r], 0), grid.axis_bin(in.y[r], 1), grid.axis_bin(in.z[r], 2));
        scratch.record_bin[r] = bin;
        ++scratch.bin_start[bin + 1];
    }
    for (std::size_t b = 0; b < bins; ++b) scratch.bin_start[b + 1] += scratch.bin_start[b];
    out.resize(n);
    std::vector<std::int32_t>& cursor = scratch.cursor;
    cursor.assign(scratch.bin_start.begin(), scratch.bin_start.end() - 1);
    for (std::size_t r = 0; r < n; ++r) {
        const std::int32_t slot = cursor[scratch.record_bin[r]]++;
        out.x[slot] = in.x[r];
        out.y[slot] = in.y[r];
        out.z[slot] = in.z[r];
        out.atom[slot] = in.atom[r];
        out.shift[3 * slot] = in.shift[3 * r];
        out.shift[3 * slot + 1] = in.shift[3 * r + 1];
        out.shift[3 * slot + 2] = in.shift[3 * r + 2];
    }
}

// Appends the sorted-record indices within the cutoff of one centre at
// matches[used...]: z bins outer, y bins middle, x bins inner (one contiguous
// run per (y, z)), record order inside. Branch-free compaction: a candidate is
// always written and kept only when it matches. `matches` only ever grows.
// Returns the number of matches.
std::int64_t match_centre(const BinGrid& grid, const NeighborSearchScratch& scratch, const double* centre,
                          double cutoff_squared, FillLaterVector<std::int32_t>& matches, std::size_t& used) {
    const ImageRecords& rec = scratch.sorted;
    const std::int32_t c[3] = {grid.axis_bin(centre[0], 0), grid.axis_bin(centre[1], 1), grid.axis_bin(centre[2], 2)};
    const std::int32_t x0 = std::max(c[0] - 1, 0), x1 = std::min(c[0] + 1, grid.count[0] - 1);
    // Neighbouring bins that lie wholly beyond the cutoff are left out: whole
    // (y, z) rows, and the first or last bin of a row. What remains is
    // scanned in the same order, so the entries and their order are those of
    // the full 3 x 3 x 3 scan.
    const double below_x = grid.gap_to_bin(centre[0], 0, c[0], c[0] - 1);
    const double above_x = grid.gap_to_bin(centre[0], 0, c[0], c[0] + 1);
    const std::size_t first = used;
    std::size_t found = first;
    for (std::int32_t z = std::max(c[2] - 1, 0); z <= std::min(c[2] + 1, grid.count[2] - 1); ++z) {
        const double gap_z = grid.gap_to_bin(centre[2], 2, c[2], z);
        for (std::int32_t y = std::max(c[1] - 1, 0); y <= std::min(c[1] + 1, grid.count[1] - 1); ++y) {
            const double gap_y = grid.gap_to_bin(centre[1], 1, c[1], y);
            const double gap_yz = gap_y * gap_y + gap_z * gap_z;
            if (gap_yz > cutoff_squared) continue;
            const std::int32_t from = x0 < c[0] && gap_yz + below_x * below_x > cutoff_squared ? c[0] : x0;
            const std::int32_t to = x1 > c[0] && gap_yz + above_x * above_x > cutoff_squared ? c[0] : x1;
            const std::int32_t begin = scratch.bin_start[grid.flat(from, y, z)];
            const std::int32_t end = scratch.bin_start[grid.flat(to, y, z) + 1];
            const std::size_t room = found + static_cast<std::size_t>(end - begin) + 4;
            if (matches.size() < room) matches.resize(std::max(2 * matches.size(), room));
            found = match_within_cutoff(rec.x.data(), rec.y.data(), rec.z.data(), begin, end, centre,
                                        cutoff_squared, matches.data(), found);
        }
    }
    used = found;
    return static_cast<std::int64_t>(found - first);
}

// Grows a vector geometrically to hold `size` elements without writing them.
template <class Vector>
void reserve_growing(Vector& v, std::size_t size) {
    if (v.capacity() < size) v.reserve(std::max(size, 2 * v.capacity()));
}

// Makes room for the entries up to `total`, growing geometrically so that a
// batch appended structure by structure is not copied over and over.
void resize_entries(NeighborGraph& graph, std::int64_t total, bool store_shifts) {
    ensure_allocatable(static_cast<std::uint64_t>(total), 4 + 24 + 8 + (store_shifts ? 12 : 0),
                       "neighbor list does not fit in memory: the cutoff is very large for the density");
    const auto n = static_cast<std::size_t>(total);
    reserve_growing(graph.neighbors, n);
    reserve_growing(graph.vectors, 3 * n);
    reserve_growing(graph.distances_squared, n);
    graph.neighbors.resize(n);
    graph.vectors.resize(3 * n);
    graph.distances_squared.resize(n);
    if (store_shifts) {
        reserve_growing(graph.shifts, 3 * n);
        graph.shifts.resize(3 * n);
    }
}

}  // namespace

void check_neighbor_cutoff(double cutoff) {
    if (!(std::isfinite(cutoff) && cutoff > 0.0))
        throw std::invalid_argument("neighbor cutoff must be finite and positive");
}

NeighborSearch::NeighborSearch() : scratch_(std::make_unique<NeighborSearchScratch>()) {}
NeighborSearch::~NeighborSearch() = default;

void NeighborSearch::append_structure(const StructureBatch& batch, std::int64_t s, const ComputeControl* control,
                                      const NeighborSearchOptions& options, NeighborGraph& graph,
                                      std::int64_t* row_offsets) {
    const double* cell = batch.cells + 9 * s;
    const double det = regular_cell_determinant(cell);

    NeighborSearchScratch& scratch = *scratch_;
    const AtomRange range = structure_range(batch, s);
    const std::int64_t count = range.size();
    const double* positions = batch.positions + 3 * range.begin;
    const double cutoff = options.cutoff;

    CellFrame frame = make_cell_frame(cell, det);
    double spread[3];
    fractional_coordinates(frame, positions, count, scratch.fractional, spread);
    set_replication_ranges(frame, cutoff, spread);
    check_image_count(frame, count);

    const Box reach = reach_box(positions, count, cutoff);
    const Box extent = options.prune_images
                           ? generate_pruned_images(frame, positions, range.begin, count, cutoff, reach, scratch)
                           : generate_images(frame, positions, range.begin, count, reach, scratch.generated);
    const BinGrid grid = make_bin_grid(extent.lower, extent.upper, cutoff,
                                       static_cast<std::int64_t>(scratch.generated.size()));
    sort_into_bins(grid, scratch);

    // One scan collects every atom's matches (atoms met while cancellation is
    // requested get none); then the entries are written once, in order, into
    // arrays sized for them. The single-pass and count-then-fill strategies
    // give the same graph, so both take this path.
    const double cutoff_squared = cutoff * cutoff;
    FillLaterVector<std::int32_t>& matches = scratch.matches;
    std::size_t used = 0;
    row_offsets[0] = graph.entry_count();
    for (std::int64_t m = 0; m < count; ++m) {
        const std::int64_t found =
            cancellation_requested(control)
                ? 0
                : match_centre(grid, scratch, positions + 3 * m, cutoff_squared, matches, used);
        row_offsets[m + 1] = row_offsets[m] + found;
    }
    throw_if_cancelled(control);

    const std::size_t base = static_cast<std::size_t>(row_offsets[0]);
    resize_entries(graph, row_offsets[count], options.store_shifts);
    const ImageRecords& rec = scratch.sorted;
    std::int32_t* neighbors = graph.neighbors.data() + base;
    std::int32_t* shifts = options.store_shifts ? graph.shifts.data() + 3 * base : nullptr;
    double* vectors = graph.vectors.data() + 3 * base;
    double* distances_squared = graph.distances_squared.data() + base;
    std::size_t k = 0;
    for (std::int64_t m = 0; m < count; ++m) {
        const double* centre = positions + 3 * m;
        const std::size_t end = static_cast<std::size_t>(row_offsets[m + 1]) - base;
        for (; k < end; ++k) {
            const std::int32_t r = matches[k];
            const double vx = rec.x[r] - centre[0];
            const double vy = rec.y[r] - centre[1];
            const double vz = rec.z[r] - centre[2];
            neighbors[k] = rec.atom[r];
            if (shifts != nullptr)
                for (int d = 0; d < 3; ++d) shifts[3 * k + d] = rec.shift[3 * r + d];
            vectors[3 * k] = vx;
            vectors[3 * k + 1] = vy;
            vectors[3 * k + 2] = vz;
            distances_squared[k] = vx * vx + vy * vy + vz * vz;
        }
    }
}

void NeighborSearch::build_structure(const StructureBatch& batch, std::int64_t s, const ComputeControl* control,
                                     const NeighborSearchOptions& options, NeighborGraph& graph) {
    check_neighbor_cutoff(options.cutoff);
    graph.cutoff = options.cutoff;
    graph.neighbors.clear();
    graph.shifts.clear();
    graph.vectors.clear();
    graph.distances_squared.clear();
    graph.row_offsets.assign(static_cast<std::size_t>(structure_range(batch, s).size()) + 1, 0);
    append_structure(batch, s, control, options, graph, graph.row_offsets.data());
}

void NeighborSearch::build_batch(const StructureBatch& batch, const ComputeControl* control,
                                 const NeighborSearchOptions& options, NeighborGraph& graph) {
    check_neighbor_cutoff(options.cutoff);
    check_batch_offsets(batch);
    if (batch.n_structures == 1) {
        build_structure(batch, 0, control, options, graph);
        return;
    }
    graph.cutoff = options.cutoff;
    graph.neighbors.clear();
    graph.shifts.clear();
    graph.vectors.clear();
    graph.distances_squared.clear();
    graph.row_offsets.assign(static_cast<std::size_t>(batch.n_atoms) + 1, 0);
    for (std::int64_t s = 0; s < batch.n_structures; ++s) {
        if (cancellation_requested(control)) continue;
        append_structure(batch, s, control, options, graph, graph.row_offsets.data() + batch.offsets[s]);
    }
    throw_if_cancelled(control);
}

NeighborGraph build_batch_neighbors(const StructureBatch& batch, const ComputeControl* control,
                                    std::int32_t num_threads, bool prune_images, bool store_shifts, double cutoff) {
    NeighborSearch search;
    NeighborGraph graph;
    search.build_batch(batch, control, {cutoff, num_threads, prune_images, store_shifts}, graph);
    return graph;
}

NeighborGraph build_structure_neighbors(const StructureBatch& batch, std::int64_t s, const ComputeControl* control,
                                        std::int32_t num_threads, bool prune_images, double cutoff,
                                        bool store_shifts) {
    NeighborSearch search;
    NeighborGraph graph;
    search.build_structure(batch, s, control, {cutoff, num_threads, prune_images, store_shifts}, graph);
    return graph;
}

}  // namespace tandril
