#pragma once

// Conversion between Python read dicts and library reads. Every function
// needs the interpreter lock.

#include <functional>
#include <vector>

#include <pybind11/pybind11.h>

#include "apps/read.h"
#include "python/conversions.h"

namespace apps {

namespace py = pybind11;

// Fills `read` from a read dict: read_tag (int, 0 .. 2^32-1), raw_data (1-D
// int16 ndarray, copied), read_id (non-empty str), daq_offset, daq_scaling,
// sampling_rate (float), start_time (int) are required; channel, mux (int),
// run_id (str) and duration (int) are optional; other keys are ignored. A key
// may be str, bytes or bytearray; one given in two of these forms counts
// once. False for a missing required key or a value of the wrong type or
// range; `read` is then partly filled. Raises (RuntimeError in Python) for a
// key of another type and for ints beyond the native range of start_time,
// duration (negative too), channel, mux and read_tag.
bool dict_to_read(const py::dict& dict, Read& read);

// {"read_tag", "sub_tag", "priority", "metadata", "datasets"}. Strict unless
// `problems` is given (see ConversionProblems).
py::dict read_to_dict(const Read& read, ConversionProblems* problems = nullptr);

// The dicts of completed reads, one list per group, with the alignment SAM
// text under metadata "alignment_sam_record" for reads with alignment
// results or modified-base probabilities. Converts tolerantly: every read
// becomes a dict; what could not be converted faithfully is reported as one
// RuntimeWarning per read once the whole list stands. The number arrays take
// the reads' storage over (take_datasets_to_dict).
//
// Each group is converted whole or not at all, and the converted groups are
// erased from `groups`. Should converting a group fail (in practice, for
// want of memory), that group and the ones after it stay in `groups` as they
// were: with nothing converted the exception goes on; otherwise the groups
// converted so far are returned, and the failure is left to a later call on
// the rest.
//
// Given `free_converted`, the reads are also dropped as the conversion goes:
// every few converted reads are moved into a vector handed to it, to be
// freed there (its caller may release the lock for that), while what they
// were made of is still in the processor's caches; freeing them all at the
// end would fetch it from memory a second time.
using FreeConverted = std::function<void(std::vector<Read>&)>;
py::list completed_reads_to_list(std::vector<std::vector<Read>>& groups, const FreeConverted& free_converted = {});

}  // namespace apps
