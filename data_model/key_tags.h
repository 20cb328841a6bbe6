#pragma once

#include <string>

// Key tags: each names one metadata key (its own name) and the type its value
// is stored under. Metadata::get<read_data::channel>() reads the int "channel".
#define KELP_METADATA_KEY_TAG(tag_name, value_type_)  \
    struct tag_name {                                 \
        using value_type = value_type_;               \
        static constexpr const char* key = #tag_name; \
    }

namespace read_data {
KELP_METADATA_KEY_TAG(read_id, std::string);
KELP_METADATA_KEY_TAG(strand_id, std::string);
KELP_METADATA_KEY_TAG(run_id, std::string);
KELP_METADATA_KEY_TAG(filename, std::string);
KELP_METADATA_KEY_TAG(time_stamp, std::string);
KELP_METADATA_KEY_TAG(sequencing_kit, std::string);
KELP_METADATA_KEY_TAG(flow_cell_product_code, std::string);
KELP_METADATA_KEY_TAG(duplex_strand_1, std::string);
KELP_METADATA_KEY_TAG(duplex_strand_2, std::string);
KELP_METADATA_KEY_TAG(channel, int);
KELP_METADATA_KEY_TAG(mux, unsigned int);
KELP_METADATA_KEY_TAG(read_number, unsigned int);
KELP_METADATA_KEY_TAG(duration, unsigned long long);
KELP_METADATA_KEY_TAG(trimmed_samples, unsigned long long);
KELP_METADATA_KEY_TAG(sampling_rate, float);
KELP_METADATA_KEY_TAG(daq_offset, float);
KELP_METADATA_KEY_TAG(daq_scaling, float);
}  // namespace read_data

namespace basecall_data {
KELP_METADATA_KEY_TAG(mean_qscore, float);
KELP_METADATA_KEY_TAG(scaling_median, float);
KELP_METADATA_KEY_TAG(scaling_med_abs_dev, float);
KELP_METADATA_KEY_TAG(sequence_length, unsigned long long);
KELP_METADATA_KEY_TAG(base_mod_alphabet, std::string);
KELP_METADATA_KEY_TAG(trimmed_events, unsigned long long);
KELP_METADATA_KEY_TAG(num_events, unsigned long long);
KELP_METADATA_KEY_TAG(model_stride, unsigned long long);
}  // namespace basecall_data

namespace apps::config_details {
// The loaded basecalling configuration is a duplex one.
KELP_METADATA_KEY_TAG(duplex, bool);
}  // namespace apps::config_details
