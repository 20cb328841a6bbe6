#pragma once

// Marks a declaration as part of libstrandlink's exported interface. Everything
// else is built with hidden visibility.
#define STRANDLINK_EXPORT __attribute__((visibility("default")))
