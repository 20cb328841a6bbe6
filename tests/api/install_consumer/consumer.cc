// Uses the installed public interface the way a caller does, and every
// declaration of the installed library headers at least once, so that a
// declaration the library does not export fails this program's link: versions
// and result texts, reads filled with the caller's own data-model code and
// checked by a client, a client's calls without a server, barcode kits and
// queries with no server, and the BAM and BGZF utilities end to end.

#include <cstdint>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "apps/read.h"
#include "apps/result.h"
#include "apps/server_query.h"
#include "apps/strandlink.h"
#include "bam/bam_index.h"
#include "bam/bam_record.h"
#include "bam/bam_utils.h"
#include "bam/bgzf.h"
#include "bam/sam_line.h"

#define CHECK(condition)                                          \
    do {                                                          \
        if (!(condition)) {                                       \
            std::cerr << "check failed: " #condition "\n";        \
            return 1;                                             \
        }                                                         \
    } while (false)

namespace {

const std::string NOBODY = "tcp://127.0.0.1:9";

void no_callback() {}

apps::Read make_read(std::uint64_t tag) {
    apps::Read read;
    read.set_read_tag(tag);
    kelp::data_wrappers::v2::DataSetData raw;
    raw.own(std::vector<std::int16_t>(500, 3));
    read.get_datasets().emplace(dataset::raw_data, std::move(raw));
    read.get_metadata().insert("read_id", std::string("consumer-read"));
    read.get_metadata().insert("daq_offset", 1.0f);
    read.get_metadata().insert("daq_scaling", 1.0f);
    read.get_metadata().insert("sampling_rate", 4000.0f);
    read.get_metadata().insert("start_time", 0ull);
    return read;
}

int versions_and_texts() {
    CHECK(apps::Strandlink::get_api_version().text == "9.1.0");
    CHECK(apps::Strandlink::get_protocol_version().major == 21);
    CHECK(!apps::Strandlink::get_data_wrappers_version().text.empty());
    CHECK(!apps::Strandlink::get_software_version().text.empty());
    CHECK(apps::to_string(apps::Result::timed_out) == "timed_out");
    CHECK(!apps::to_string(apps::ConnectionStatus::connected).empty());
    CHECK(!apps::to_string(apps::PassReadResult::queue_full).empty());
    CHECK(apps::to_string(apps::Read::Priority::LOW_PRIORITY) == "LOW_PRIORITY");
    std::ostringstream out;
    out << apps::Result::success << apps::ConnectionStatus::disconnected << apps::PassReadResult::bad_read;
    CHECK(!out.str().empty());
    return 0;
}

int reads() {
    apps::Read read = make_read(7);
    CHECK(read.get_by_name("read_id") == "consumer-read");
    CHECK(read.get_read_tag() == 7 && read.get_sub_tag() == 0);
    read.set_priority(apps::Read::Priority::HIGH_PRIORITY);
    CHECK(read.get_priority() == apps::Read::Priority::HIGH_PRIORITY);
    const apps::Read& view = read;
    CHECK(view.get_metadata().exists("read_id") && view.get_datasets().size() == 1);
    CHECK(view.get_readholder().read_tag == 7);
    CHECK(!read.has_alignment_data());
    try {
        // A read without called results has no SAM lines to give: it is
        // refused with an exception, as documented.
        (void)read.extract_sam_and_bed_lines(5.0f);
    } catch (const std::exception&) {
    }
    apps::Read moved(std::move(read));
    apps::Read assigned;
    assigned = std::move(moved);
    CHECK(assigned.get_read_tag() == 7);
    interfaces::ReadHolder holder;
    holder.read_tag = 9;
    assigned.set_readholder(std::move(holder));
    CHECK(assigned.get_readholder().read_tag == 9);
    assigned.clear();
    CHECK(assigned.get_read_tag() == 0 && assigned.get_datasets().empty());
    return 0;
}

int client_without_server() {
    apps::Strandlink client(NOBODY, "signal_model_hac", "", false);
    CHECK(client.get_status() == apps::ConnectionStatus::disconnected);
    CHECK(client.get_error_message().empty());
    CHECK(!client.get_internal_state().empty());
    CHECK(client.set_state_change_handler([](apps::ConnectionStatus, apps::ConnectionStatus, std::string) {}) ==
          apps::Result::success);
    CHECK(client.set_priority(apps::Read::Priority::MEDIUM_PRIORITY) == apps::Result::success);
    CHECK(client.set_callback_function(no_callback) == apps::Result::success);

    apps::Read read = make_read(7);
    std::string error = "unchanged";
    CHECK(client.validate_read(read, error));
    CHECK(error == "unchanged");
    CHECK(client.pass_read(read, 0) == apps::PassReadResult::not_accepting_reads);
    std::vector<apps::Read> batch;
    batch.push_back(make_read(8));
    CHECK(client.pass_reads(batch, 0) == apps::PassReadResult::not_accepting_reads && batch.size() == 1);
    CHECK(client.num_completed_reads() == 0 && client.num_buffered_samples() == 0);
    std::vector<std::vector<apps::Read>> completed;
    client.get_completed_reads(completed);
    CHECK(completed.empty());
    client.no_more_data();
    kelp::data_wrappers::v2::Metadata config;
    CHECK(client.get_basecalling_config(config) == apps::Result::no_connection);
    std::string header;
    CHECK(client.get_alignment_sam_header(header) == apps::Result::no_connection);
    apps::ConnectedServerInfo info;
    CHECK(client.get_connected_server_info(info) == apps::Result::no_connection);
    CHECK(client.finish(1) == apps::Result::no_connection);
    CHECK(client.disconnect() == apps::Result::no_connection);

    // Nobody listens at the address: the attempt times out, whatever the
    // machine's speed.
    kelp::data_wrappers::v2::Metadata params;
    params.insert("query_timeout", 100u);
    params.insert("connection_timeout", 100u);
    params.insert("reconnect_timeout", 0u);
    CHECK(client.set_params(params) == apps::Result::success);
    CHECK(client.connect() == apps::Result::timed_out);
    CHECK(client.disconnect() == apps::Result::success);
    return 0;
}

int server_queries() {
    apps::server_query::BarcodeKitDefinition kit("KIT-BC24", 1, 24, true, false, "barcode%02i");
    CHECK(kit.generate_barcode_name(7, 0) == "barcode07");
    CHECK(kit.kit_name() == "KIT-BC24" && kit.first_index() == 1 && kit.last_index() == 24 && kit.is_both_ends());

    std::string state = "unchanged";
    CHECK(apps::server_query::get_server_internal_state(state, NOBODY, 100) == apps::Result::timed_out);
    CHECK(apps::server_query::get_server_information(state, NOBODY, 100) == apps::Result::timed_out);
    CHECK(state == "unchanged");
    std::vector<apps::server_query::BarcodeKitDefinition> kits;
    CHECK(apps::server_query::get_barcode_kits(kits, NOBODY, 100) == apps::Result::timed_out && kits.empty());
    apps::server_query::ServerStatistics statistics;
    CHECK(apps::server_query::get_server_statistics(statistics, NOBODY, 100) == apps::Result::timed_out);
    return 0;
}

int bam_and_bgzf() {
    using namespace kelp::bam;
    namespace bgzf = kelp::bgzf;
    CHECK(util::BAM_MAGIC_WORD == std::string("BAM\1", 4) && util::BAI_MAGIC_WORD == std::string("BAI\1", 4));
    CHECK(util::CIGAR_OP_CODES == "MIDNSHP=X" && util::SEQ_CODES == "=ACMGRSVTWYHKDBN");
    CHECK(aux_array_element_size('s') == 2 && aux_array_element_size('x') == 0);

    const AlignmentFileHeader header{{RefSeq{"chr1", 1000}}};
    const std::string line = "r1\t0\tchr1\t100\t60\t4M\t*\t0\t0\tACGT\tIIII\tNM:i:0";
    std::string error;
    BamRecord record;
    CHECK(util::parse_sam_line_to_bam_record(line, record, header.ref_seqs, error));
    std::uint64_t key = 0;
    CHECK(util::parse_sam_line_get_sorting_key(line, key, header.ref_seqs, error));
    CHECK(key == record.sorting_key() && key == util::calculate_sorting_key(0, 99));

    std::vector<char> block;
    CHECK(record.serialise(block, error));
    io::IOBuffer buffer{block.data(), block.size(), 0};
    BamRecord back;
    CHECK(back.deserialise(buffer, header.ref_seqs, error) && back.sam_line == line);
    CHECK(util::update_sam_line(header.ref_seqs, back, error) && back.sam_line == line);
    CHECK(!(record < back) && !(back < record));
    const BamRecordIndexFileInfo info = extract_index_file_info(record);
    CHECK(info.pos == 99 && !(info < info));

    std::vector<char> from_line;
    std::vector<char> from_record;
    BamRecordIndexFileInfo line_info;
    BamRecordIndexFileInfo record_info;
    std::uint64_t line_key = 0;
    std::uint64_t record_key = 0;
    CHECK(util::pack_sam_line_to_BGZF_blocks(from_line, line_info, line_key, line, header, error));
    CHECK(util::pack_bam_record_to_BGZF_blocks(from_record, record_info, record_key, record, error));
    CHECK(from_line == from_record && line_key == key && record_key == key);
    CHECK(std::string(from_line.data(), bgzf::HEADER_BYTES.size()) == bgzf::HEADER_BYTES);

    std::istringstream in(std::string(from_line.begin(), from_line.end()));
    std::vector<char> inflated;
    CHECK(bgzf::read_BGZF_block(in, inflated, error) && inflated == block);
    std::vector<char> packed;
    CHECK(bgzf::pack_BGZF_blocks(packed, block, error) && packed == from_line);
    std::ostringstream out;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint64_t offset = 0;
    CHECK(bgzf::write_BGZF_blocks(out, block, start, end, offset, error));
    CHECK(bgzf::write_packed_BGZF_blocks(out, packed, start, end, offset, error));
    CHECK(offset == 2 * packed.size() && out.str().size() == offset);
    CHECK(bgzf::crc32("123456789", 9) == 0xCBF43926u);

    CHECK(!util::print_index_from_file("/nonexistent/consumer.bai", error) && !error.empty());
    record.clear();
    CHECK(record.read_name.empty() && record.cigar.empty());
    return 0;
}

}  // namespace

int main() {
    for (int (*part)() : {versions_and_texts, reads, client_without_server, server_queries, bam_and_bgzf}) {
        if (part() != 0) {
            return 1;
        }
    }
    std::cout << "consumer: " << apps::Strandlink::get_software_version().text << " ok\n";
    return 0;
}
