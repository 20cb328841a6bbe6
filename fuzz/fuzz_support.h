#pragma once

// Helpers shared by the fuzz targets.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

namespace fuzz_support {

// Takes every byte it is given, so that reads the compiler could otherwise
// drop really happen (and the address sanitizer sees them).
class Sink {
public:
    template <typename T>
    std::enable_if_t<std::is_arithmetic_v<T>> take(T value) {
        unsigned char bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        take(bytes, sizeof(T));
    }
    void take(const std::string& text) { take(text.data(), text.size()); }
    void take(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            m_sum = m_sum * 31 + bytes[i];
        }
    }
    ~Sink() {
        // A volatile store keeps the sum, and so every read that fed it.
        volatile std::uint64_t keep = m_sum;
        (void)keep;
    }

private:
    std::uint64_t m_sum = 0;
};

[[noreturn]] inline void check_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, condition);
    std::abort();
}

}  // namespace fuzz_support

// A property every input must keep; a breach stops the run as a finding.
#define FUZZ_CHECK(condition) \
    ((condition) ? (void)0 : ::fuzz_support::check_failed(#condition, __FILE__, __LINE__))
