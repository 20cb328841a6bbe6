#include "data_model/metadata.h"

namespace kelp::data_wrappers::v2 {

Metadata::Metadata(MapWrapper&& entries, const Schema& schema) : MapWrapper(std::move(entries)) {
    if (!schema.empty()) {
        validate(schema, true);
    }
}

}  // namespace kelp::data_wrappers::v2
