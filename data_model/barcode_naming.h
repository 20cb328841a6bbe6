#pragma once

#include <string>

// Barcode names: a kit's "normalised pattern" is a printf-style text with one
// integer conversion ("barcode%02i") into which a barcode's index is formatted.
// A dual barcode (outer and inner) is named "barcode_externalNN_internalMM".
//
// All functions are thread-safe.
namespace kelp::util::barcode_naming {

// Formats `index` into `pattern`; appends "a" when `a_variant_of_12` is set and
// the index is 12. The pattern must be non-empty and hold exactly one '%',
// followed by optional decimal digits (zero flag and width, the width at most
// MAX_FIELD_WIDTH) and 'i'. Otherwise throws std::runtime_error
// "Invalid normalised pattern: " + pattern.
std::string generate_normalised_id(const std::string& pattern, int index, bool a_variant_of_12);

// "barcode_external" + last two characters of `outer` + "_internal" + last two
// characters of `inner`. Throws std::out_of_range when a name is shorter than two.
std::string generate_dual_normalised_id(const std::string& outer, const std::string& inner);

// Takes a dual-barcode name apart. Returns false, leaving both outputs untouched,
// when the name is not of the dual form or (with a pattern) an index cannot be
// read. Without a pattern the outputs are the raw "externalNN"/"internalMM"
// parts; with one they are the names that `pattern` gives the two indices.
// An invalid pattern throws as generate_normalised_id does, outputs untouched.
bool extract_dual_barcodes(const std::string& dual_name, const std::string* pattern,
                           std::string& outer, std::string& inner);

// Largest field width a pattern may ask for. Patterns come from the server; a
// huge width would make formatting allocate without bound.
constexpr int MAX_FIELD_WIDTH = 64;

}  // namespace kelp::util::barcode_naming
