#include "common/thread_name.h"

#include <pthread.h>

#include <cstddef>

namespace kelp::util {

void set_thread_name(const char* name) {
    if (name == nullptr) {
        return;
    }
    constexpr std::size_t max_length = 15;
    char truncated[max_length + 1] = {};
    std::size_t i = 0;
    for (; i < max_length && name[i] != '\0'; ++i) {
        truncated[i] = name[i];
    }
    truncated[i] = '\0';
    // Only fails for names that are too long, which the cut above rules out.
    (void)pthread_setname_np(pthread_self(), truncated);
}

}  // namespace kelp::util
