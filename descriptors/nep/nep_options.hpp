#pragma once

#include <cstdint>
#include <string>

namespace tandril {

// Options of NepCalculator. Nothing is checked when a field is set.
struct NepOptions {
    std::string model_path;
    // Must be >= 0. 1: one neighbour list per structure; any other value: one
    // list for the whole batch (passed on to the neighbour search).
    std::int32_t num_threads = 0;
};

}  // namespace tandril
