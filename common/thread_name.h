#pragma once

namespace kelp::util {

// Names the calling thread for debuggers and process listings. Only the first
// 15 characters of `name` are used (the platform's limit); failures are
// ignored because a thread name is a diagnostic aid only.
void set_thread_name(const char* name);

}  // namespace kelp::util
