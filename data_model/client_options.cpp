#include "data_model/client_options.h"

#include <typeinfo>

namespace client_options {

namespace {

struct Option {
    const char* name;
    const std::type_info& type;
};

const Option REGISTERED_OPTIONS[] = {
    {"barcode_kits", typeid(std::string)},          // barcode kits to use
    {"require_barcodes_both_ends", typeid(bool)},   // barcodes needed at both ends
    {"enable_trim_barcodes", typeid(bool)},         // barcodes are trimmed
    {"trim_adapters", typeid(bool)},                // adapters are trimmed
    {"trim_primers", typeid(bool)},                 // primers are trimmed
    {"align_ref", typeid(std::string)},             // alignment index file
    {"bed_file", typeid(std::string)},              // BED file for alignment
    {"minimap_opt_string", typeid(std::string)},    // option text for the aligner
    {"move_enabled", typeid(bool)},                 // return move data
    {"barcode_list", typeid(std::string)},          // barcodes to filter against
    {"pair_by_channel", typeid(bool)},              // duplex pairing by channel
    {"chunk_size", typeid(unsigned long long)},     // chunk size for adaptive sampling
    {"estimate_poly_a", typeid(bool)},              // estimate poly(A)/poly(T) tails
    {"poly_a_config", typeid(std::string)},         // custom poly(A) configuration file
};

}  // namespace

RegisteredClientOptions::RegisteredClientOptions() {
    for (const auto& option : REGISTERED_OPTIONS) {
        m_option_types.emplace(option.name, std::type_index(option.type));
        m_option_names.emplace_back(option.name);
    }
}

}  // namespace client_options
