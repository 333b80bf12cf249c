#include "descriptors/matrices/tridiagonal_ql.hpp"

#include <cmath>
#include <cstddef>

#include "core/inline_hypot.hpp"
#include "core/platform_math.hpp"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace tandril {
namespace {

template <bool InlineHypot>
inline __attribute__((always_inline)) double hypot_of(double x, double y) noexcept {
    if constexpr (InlineHypot) return inline_hypot(x, y);
    else return std::hypot(x, y);
}

double with_sign_of(double magnitude, double sign) noexcept {
    return sign >= 0.0 ? std::fabs(magnitude) : -std::fabs(magnitude);
}

// The classical QL loop (for each l: find the first negligible e[m] at or
// after l; sweep from m - 1 down to l until m == l) unrolled into states, so
// that it can be advanced one rotation at a time.
struct QlIteration {
    double* d;
    double* e;
    std::int64_t n;
    std::int64_t l = 0;
    std::int64_t m = 0;
    std::int64_t i = 0;  // next rotation; the sweep ends when i < l
    int sweeps = 0;      // sweeps made for the current l
    double s = 1.0, c = 1.0, p = 0.0, g = 0.0;
    bool running = true;
    bool converged = true;

    QlIteration() noexcept : d(nullptr), e(nullptr), n(0) {}
    explicit QlIteration(const TridiagonalProblem& problem) noexcept : d(problem.d), e(problem.e), n(problem.n) {}
};

// Moves l past converged eigenvalues and sets up the next sweep, or stops.
template <bool InlineHypot>
__attribute__((noinline)) void begin_sweep(QlIteration& q) noexcept {
    double* d = q.d;
    double* e = q.e;
    for (; q.l < q.n; ++q.l, q.sweeps = 0) {
        const std::int64_t l = q.l;
        std::int64_t m = l;
        for (; m < q.n - 1; ++m) {
            const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
            if (std::fabs(e[m]) + dd == dd) break;
        }
        if (m == l) continue;
        if (q.sweeps++ == 100) {
            q.running = false;
            q.converged = false;
            return;
        }
        double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
        const double r = hypot_of<InlineHypot>(g, 1.0);
        q.g = d[m] - d[l] + e[l] / (g + with_sign_of(r, g));
        q.m = m;
        q.i = m - 1;
        q.s = 1.0;
        q.c = 1.0;
        q.p = 0.0;
        return;
    }
    q.running = false;
}

// One plane rotation at i on the sweep state (s, c, p, g), kept in registers
// by the callers. Returns false, with only e[i + 1] changed, when the
// rotation's hypotenuse underflows to zero.
template <bool InlineHypot>
inline __attribute__((always_inline)) bool rotate(double* d, double* e, std::int64_t i, double& s, double& c,
                                                  double& p, double& g) noexcept {
    const double f = s * e[i];
    const double b = c * e[i];
    double r = hypot_of<InlineHypot>(f, g);
    e[i + 1] = r;
    if (r == 0.0) return false;
    s = f / r;
    c = g / r;
    g = d[i + 1] - p;
    r = (d[i] - g) * s + 2.0 * c * b;
    p = s * r;
    d[i + 1] = g + p;
    g = c * r - b;
    return true;
}

// The sweep state of an iteration, copied into locals for a run of rotations
// and back again when one of them ends its sweep.
struct SweepState {
    std::int64_t i;
    double s, c, p, g;

    explicit SweepState(const QlIteration& q) noexcept : i(q.i), s(q.s), c(q.c), p(q.p), g(q.g) {}
    SweepState(std::int64_t i_, double s_, double c_, double p_, double g_) noexcept
        : i(i_), s(s_), c(c_), p(p_), g(g_) {}
    void store(QlIteration& q) const noexcept {
        q.i = i;
        q.s = s;
        q.c = c;
        q.p = p;
        q.g = g;
    }
};

// After a run of rotations stopped: a finished sweep closes with its last
// updates, an underflow deflates; either way the search starts again.
template <bool InlineHypot>
void end_run(QlIteration& q, const SweepState& state, bool rotated) noexcept {
    state.store(q);
    if (!rotated) {
        q.d[state.i + 1] -= state.p;
        q.e[q.m] = 0.0;
    } else if (state.i < q.l) {
        q.d[q.l] -= state.p;
        q.e[q.l] = state.g;
        q.e[q.m] = 0.0;
    } else {
        return;  // sweep still in progress
    }
    begin_sweep<InlineHypot>(q);
}

// Runs an iteration that has begun to its end.
template <bool InlineHypot>
void run_to_end(QlIteration& q) noexcept {
    while (q.running) {
        SweepState state(q);
        bool rotated = true;
        for (; state.i >= q.l; --state.i)
            if (!(rotated = rotate<InlineHypot>(q.d, q.e, state.i, state.s, state.c, state.p, state.g))) break;
        end_run<InlineHypot>(q, state, rotated);
    }
}

#if defined(__x86_64__)
// Two iterations in the two lanes of one register (lane 0 the first): every
// operation of a rotation is done for both at once, with the same rounding as
// one at a time.
__m128d lanes(double first, double second) noexcept { return _mm_set_pd(second, first); }
double first_lane(__m128d v) noexcept { return _mm_cvtsd_f64(v); }
double second_lane(__m128d v) noexcept { return _mm_cvtsd_f64(_mm_unpackhi_pd(v, v)); }

// Rotations of both sweeps side by side until one of them ends its sweep, or
// until a rotation needs the library hypot or underflows (that rotation is
// left to the one-lane code, so this may stop before its first rotation).
void rotate_side_by_side(QlIteration& a, QlIteration& b, SweepState& x, SweepState& y) noexcept {
    __m128d s = lanes(x.s, y.s), c = lanes(x.c, y.c), p = lanes(x.p, y.p), g = lanes(x.g, y.g);
    const __m128d two = _mm_set1_pd(2.0);
    std::int64_t i = x.i, j = y.i;
    do {
        const __m128d e_i = lanes(a.e[i], b.e[j]);
        const __m128d f = _mm_mul_pd(s, e_i);
        const __m128d bb = _mm_mul_pd(c, e_i);
        __m128d r;
        if (!inline_hypot_lanes(f, g, r)) break;
        if (_mm_movemask_pd(_mm_cmpeq_pd(r, _mm_setzero_pd())) != 0) break;
        a.e[i + 1] = first_lane(r);
        b.e[j + 1] = second_lane(r);
        s = _mm_div_pd(f, r);
        c = _mm_div_pd(g, r);
        g = _mm_sub_pd(lanes(a.d[i + 1], b.d[j + 1]), p);
        r = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(lanes(a.d[i], b.d[j]), g), s), _mm_mul_pd(_mm_mul_pd(two, c), bb));
        p = _mm_mul_pd(s, r);
        const __m128d d_next = _mm_add_pd(g, p);
        a.d[i + 1] = first_lane(d_next);
        b.d[j + 1] = second_lane(d_next);
        g = _mm_sub_pd(_mm_mul_pd(c, r), bb);
        --i;
        --j;
    } while (i >= a.l && j >= b.l);
    x = SweepState(i, first_lane(s), first_lane(c), first_lane(p), first_lane(g));
    y = SweepState(j, second_lane(s), second_lane(c), second_lane(p), second_lane(g));
}
#endif

// One rotation of an iteration on its own (when side by side is not possible).
template <bool InlineHypot>
bool rotate_alone(QlIteration& q, SweepState& state) noexcept {
    if (!rotate<InlineHypot>(q.d, q.e, state.i, state.s, state.c, state.p, state.g)) return false;
    --state.i;
    return true;
}

// Problems of a list handed out to one of two lanes, in list order.
class ProblemQueue {
public:
    explicit ProblemQueue(std::span<TridiagonalProblem> problems) noexcept : problems_(problems) {}

    // Puts the next problem that needs a rotation into `lane` (problems that
    // need none are finished on the way); false when none is left.
    template <bool InlineHypot>
    bool fill(QlIteration& lane, std::size_t& index) noexcept {
        while (next_ < problems_.size()) {
            index = next_++;
            lane = QlIteration(problems_[index]);
            begin_sweep<InlineHypot>(lane);
            if (lane.running) return true;
            problems_[index].converged = lane.converged;
        }
        return false;
    }

    void finish(const QlIteration& lane, std::size_t index) noexcept { problems_[index].converged = lane.converged; }

private:
    std::span<TridiagonalProblem> problems_;
    std::size_t next_ = 0;
};

// Two lanes work through the list; a lane that finishes takes the next
// problem, so that lanes rarely run alone even when the sizes differ.
template <bool InlineHypot>
void run_all(std::span<TridiagonalProblem> problems) noexcept {
    ProblemQueue queue(problems);
    QlIteration a, b;
    std::size_t index_a = 0, index_b = 0;
    bool has_a = queue.fill<InlineHypot>(a, index_a);
    bool has_b = has_a && queue.fill<InlineHypot>(b, index_b);
    // Both lanes are in a sweep here (begin_sweep leaves at least one rotation).
    while (has_a && has_b) {
        SweepState x(a), y(b);
#if defined(__x86_64__)
        if constexpr (InlineHypot) rotate_side_by_side(a, b, x, y);
#endif
        bool x_rotated = true, y_rotated = true;
        if (x.i >= a.l && y.i >= b.l) {
            // Side by side stopped short (or is not available): one rotation
            // of each on its own.
            x_rotated = rotate_alone<InlineHypot>(a, x);
            y_rotated = rotate_alone<InlineHypot>(b, y);
        }
        end_run<InlineHypot>(a, x, x_rotated);
        end_run<InlineHypot>(b, y, y_rotated);
        if (!a.running) {
            queue.finish(a, index_a);
            has_a = queue.fill<InlineHypot>(a, index_a);
        }
        if (!b.running) {
            queue.finish(b, index_b);
            has_b = queue.fill<InlineHypot>(b, index_b);
        }
    }
    // At most one lane is left, and no problem in the queue.
    if (has_a) {
        run_to_end<InlineHypot>(a);
        queue.finish(a, index_a);
    }
    if (has_b) {
        run_to_end<InlineHypot>(b);
        queue.finish(b, index_b);
    }
}

}  // namespace

bool tridiagonal_ql(const TridiagonalProblem& problem) {
    TridiagonalProblem only = problem;
    tridiagonal_ql(std::span<TridiagonalProblem>(&only, 1));
    return only.converged;
}

void tridiagonal_ql(std::span<TridiagonalProblem> problems) {
    if (platform_math().inline_hypot)
        run_all<true>(problems);
    else
        run_all<false>(problems);
}

}  // namespace tandril
