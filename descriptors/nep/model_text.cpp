#include "descriptors/nep/model_text.hpp"

#include <locale.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>

namespace tandril {
namespace {

bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

[[noreturn]] void invalid_token(std::string_view quantity, std::string_view token) {
    std::string message = "invalid ";
    message.append(quantity).append(": ").append(message_text(token));
    throw std::invalid_argument(message);
}

// Length of the valid UTF-8 sequence starting at text[i], or 0.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0x01 && lead <= 0x7F) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return length;
}

// Numbers in model files use a decimal point whatever locale the host
// program has set.
locale_t c_locale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

[[noreturn]] void cannot_open(const std::string& path) {
    throw std::runtime_error("could not open NEP model: " + message_text(path));
}

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

}  // namespace

std::string message_text(std::string_view raw) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size();) {
        const std::size_t length = utf8_sequence_length(raw, i);
        if (length > 0) {
            out.append(raw.substr(i, length));
            i += length;
        } else {
            const auto byte = static_cast<unsigned char>(raw[i++]);
            out.append("\\x").push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 15]);
        }
    }
    return out;
}

ModelText::ModelText(std::string text) : text_(std::move(text)) {
    line_starts_.push_back(0);
    const char* const data = text_.data();
    const std::size_t size = text_.size();
    std::size_t pos = 0;
    while (pos < size) {
        std::size_t end = pos;
        while (end < size && data[end] != '\n') ++end;
        std::size_t content_end = pos;
        while (content_end < end && data[content_end] != '#') ++content_end;
        const std::size_t before = tokens_.size();
        std::size_t i = pos;
        while (i < content_end) {
            while (i < content_end && is_space(data[i])) ++i;
            const std::size_t start = i;
            while (i < content_end && !is_space(data[i])) ++i;
            if (i > start) tokens_.emplace_back(data + start, i - start);
        }
        if (tokens_.size() > before) line_starts_.push_back(tokens_.size());
        pos = end + 1;
    }
}

std::string read_model_file(const std::string& path) {
    // A path with an embedded NUL would silently name a different file.
    if (path.find('\0') != std::string::npos) cannot_open(path);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) cannot_open(path);
    // A directory opens on some systems but cannot be read as a model.
    struct stat info {};
    if (fstat(fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode)) cannot_open(path);
    std::string text;
    if (S_ISREG(info.st_mode) && info.st_size > 0) text.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, got);
    if (std::ferror(file.get())) cannot_open(path);
    return text;
}

std::int32_t parse_int32_token(std::string_view token, std::string_view quantity) {
    std::size_t i = 0;
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
    if (i == token.size()) invalid_token(quantity, token);
    std::int64_t magnitude = 0;
    for (; i < token.size(); ++i) {
        const char c = token[i];
        if (c < '0' || c > '9') invalid_token(quantity, token);
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > std::int64_t{2147483648}) invalid_token(quantity, token);
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::int64_t{2147483647}) invalid_token(quantity, token);
    return static_cast<std::int32_t>(value);
}

double parse_real_token(std::string_view token, std::string_view quantity) {
    // Tokens are not NUL-terminated; strtod needs a terminated copy.
    char small[64];
    std::string large;
    const char* text = small;
    if (token.size() < sizeof small) {
        token.copy(small, token.size());
        small[token.size()] = '\0';
    } else {
        large.assign(token);
        text = large.c_str();
    }
    char* end = nullptr;
    errno = 0;
    const double value = strtod_l(text, &end, c_locale());
    const bool consumed = token.size() > 0 && end == text + token.size();
    if (!consumed || errno == ERANGE || !std::isfinite(value)) invalid_token(quantity, token);
    return value;
}

}  // namespace tandril
