#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tandril {

// A text file cut into lines of tokens: everything from the first '#' of a
// line is a comment, tokens are separated by white space (carriage returns
// included), and lines without tokens are dropped. Tokens are views into the
// text held by the object.
class ModelText {
public:
    explicit ModelText(std::string text);
    ModelText(const ModelText&) = delete;
    ModelText& operator=(const ModelText&) = delete;

    [[nodiscard]] std::size_t line_count() const noexcept { return line_starts_.size() - 1; }
    [[nodiscard]] std::size_t token_count(std::size_t line) const noexcept {
        return line_starts_[line + 1] - line_starts_[line];
    }
    [[nodiscard]] std::string_view token(std::size_t line, std::size_t index) const noexcept {
        return tokens_[line_starts_[line] + index];
    }
    // Every token of the lines first .. line_count()-1, in order.
    [[nodiscard]] const std::string_view* tokens_from(std::size_t first) const noexcept {
        return tokens_.data() + line_starts_[first];
    }
    [[nodiscard]] std::size_t tokens_after(std::size_t first) const noexcept {
        return tokens_.size() - line_starts_[first];
    }

private:
    std::string text_;
    std::vector<std::string_view> tokens_;
    std::vector<std::size_t> line_starts_;  // first token of each line, plus the end
};

// Text from a model file (or a path) as it may appear in an error message:
// bytes that are not valid UTF-8, and NUL, are written as \xNN escapes so
// that the message stays text.
[[nodiscard]] std::string message_text(std::string_view raw);

// Whole file as bytes; std::runtime_error "could not open NEP model: " + path
// when it cannot be opened or read.
[[nodiscard]] std::string read_model_file(const std::string& path);

// Signed decimal 32-bit integer (optional sign, then digits only); otherwise
// std::invalid_argument "invalid <quantity>: <token>".
[[nodiscard]] std::int32_t parse_int32_token(std::string_view token, std::string_view quantity);

// Finite double read as strtod reads it (C locale), with the whole token
// consumed and no range error; otherwise the same error as above.
[[nodiscard]] double parse_real_token(std::string_view token, std::string_view quantity);

}  // namespace tandril
