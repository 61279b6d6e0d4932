// What every fuzz target asserts with: a broken invariant is reported with the input's context and
// aborts, so that libFuzzer keeps the input and the corpus replay fails.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

__attribute__((format(printf, 1, 2), noreturn)) inline void invariantBroken(const char *fmt, ...)
{
    std::va_list ap;
    va_start(ap, fmt);
    std::fputs("invariant broken: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::abort();
}

#define FUZZ_CHECK(cond, ...)                           \
    do {                                                \
        if (!(cond)) invariantBroken(__VA_ARGS__);      \
    } while (0)

// Control bytes shown as \xNN, so that a report can be read and pasted into a corpus file.
inline std::string printable(std::string_view bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// The input cut into records at RECORD_SEPARATOR (0x1e), so that one file can hold several reads,
// from several peers, while each record's own bytes stay raw.
inline constexpr char RECORD_SEPARATOR = '\x1e';

template <typename Take>
void forEachRecord(const unsigned char *data, size_t size, Take take)
{
    const std::string_view all(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    for (;;) {
        const size_t end = all.find(RECORD_SEPARATOR, start);
        take(all.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return;
        start = end + 1;
    }
}
