#include "common/concurrency.h"

namespace corvid::utils::concurrency {

Flag::~Flag() = default;

}  // namespace corvid::utils::concurrency
