#include "data_model/data_set.h"

namespace kelp::data_wrappers::v2 {

DataSetData::DataSetData(DataSetData&& other) noexcept
    : data(other.data),
      str(other.str),
      info(std::move(other.info)),
      owner(std::move(other.owner)),
      metadata(std::move(other.metadata)) {
    other.reset();
}

DataSetData& DataSetData::operator=(DataSetData&& other) noexcept {
    if (this != &other) {
        reset();
        data = other.data;
        str = other.str;
        info = std::move(other.info);
        owner = std::move(other.owner);
        metadata = std::move(other.metadata);
        other.reset();
    }
    return *this;
}

DataSetData::~DataSetData() = default;

void DataSetData::reset() noexcept {
    data = nullptr;
    str = nullptr;
    info.type = DataSetType::none;
    info.element_size = 0;
    info.count = 0;
    info.rows = 0;
    info.cols = 0;
    info.fields.clear();
    owner.reset();
    metadata.clear();
}

void DataSetData::own(std::string&& text) {
    // Allocated before the dataset is touched: a failure changes nothing.
    auto new_owner = std::make_unique<OwnerType<std::string>>(std::move(text));
    reset();
    // Read the buffer after the move into the heap owner: a short string
    // stored inside the string object lives inside the owner now.
    str = &new_owner->value;
    data = str->data();
    info.type = DataSetType::string;
    info.element_size = str->size() + 1;
    info.count = 1;
    owner = std::move(new_owner);
}

void DataSetData::copy_data(const DataSetData& other) {
    if (other.owner) {
        std::unique_ptr<OwnerBase> copy = other.owner->clone();
        void* copy_data = copy->data_ptr();
        std::string* copy_str = nullptr;
        if (other.str) {
            auto* string_owner = dynamic_cast<OwnerType<std::string>*>(copy.get());
            if (string_owner) {
                copy_str = &string_owner->value;
            }
        }
        owner = std::move(copy);
        data = copy_data;
        str = copy_str;
    } else {
        owner.reset();
        data = other.data;
        str = other.str;
    }
}

const std::string& DataSetData::get_string() const {
    if (info.type != DataSetType::string || str == nullptr) {
        throw std::runtime_error("Data does not view string data.");
    }
    return *str;
}

std::string& DataSetData::get_string() {
    return const_cast<std::string&>(static_cast<const DataSetData&>(*this).get_string());
}

void DataSetData::check_array_type(DataSetType type) const {
    if (info.type != type) {
        throw std::runtime_error("Invalid array type requested.");
    }
}

}  // namespace kelp::data_wrappers::v2
