#pragma once

#include <string>

#include "data_model/views.h"

// Text builders for the optional fields of SAM lines. Each returns true with
// its text in `out`, or false with a reason in `error`; callers turn a false
// result into an exception.
namespace kelp::bam::util {

// MM, ML and MN tags (modified-base calls) for `sequence`. `probabilities` holds
// one value per position and channel of `alphabet` (position-major); `context`
// ("_:XG:_:_", empty for none) restricts bases to motifs. Positions of a base
// without context are reported where any of its channels reaches `threshold`.
// On a size mismatch `out` is not touched. Throws std::runtime_error
// "Invalid base modification context string." for a context that does not
// parse, and std::out_of_range for a modification code before any base.
bool generate_modbase_string(std::string& out, const std::string& sequence,
                             const std::string& alphabet, const std::string& context,
                             const kelp::data_wrappers::v2::VecView<unsigned char>& probabilities,
                             unsigned char threshold, std::string& error);

// As above, without a context.
bool generate_modbase_string(std::string& out, const std::string& sequence,
                             const std::string& alphabet,
                             const kelp::data_wrappers::v2::VecView<unsigned char>& probabilities,
                             unsigned char threshold, std::string& error);

// The eleven mandatory fields of an unmapped read (FLAG 4); an empty sequence
// or quality string is written as "*". `out` is touched only on success.
bool make_unmapped_sam_line(std::string& out, const std::string& read_name,
                            const std::string& sequence, const std::string& qstring,
                            std::string& error);

// "mv:B:c,<stride>,..." with one entry per move; values above 126 are written
// as runs of 127 followed by the remainder, since the array holds int8 values.
// An empty move table is refused and `out` is not touched.
bool generate_move_table_string(std::string& out,
                                const kelp::data_wrappers::v2::VecView<unsigned char>& moves,
                                signed char stride, std::string& error);

}  // namespace kelp::bam::util
