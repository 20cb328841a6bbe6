#!/usr/bin/env bash
# Checks the dynamic symbol table of libstrandlink: every defined symbol
# belongs to the exported interface (namespaces apps, kelp::bam, kelp::bgzf,
# with their type information), and the interface's own symbols are there.
set -euo pipefail
lib=$1

symbols=$(nm -D --defined-only -C "$lib" | cut -d' ' -f3-)
stray=$(grep -Ev '^((typeinfo for |typeinfo name for |vtable for )?(apps|kelp::bam|kelp::bgzf)::)' <<<"$symbols" || true)
if [ -n "$stray" ]; then
  echo "symbols exported beyond the interface:" >&2
  echo "$stray" | head -50 >&2
  exit 1
fi

for wanted in \
  'apps::Strandlink::connect()' \
  'apps::Strandlink::pass_reads(' \
  'apps::Strandlink::get_api_version()' \
  'apps::Read::Read()' \
  'apps::Read::extract_sam_and_bed_lines(float) const' \
  'apps::to_string[abi:cxx11](apps::Result)' \
  'apps::server_query::get_barcode_kits(' \
  'apps::server_query::BarcodeKitDefinition::generate_barcode_name' \
  'typeinfo for apps::Read::Priority' \
  'kelp::bgzf::HEADER_BYTES' \
  'kelp::bam::util::parse_sam_line_to_bam_record('; do
  if ! grep -qF "$wanted" <<<"$symbols"; then
    echo "not exported: $wanted" >&2
    exit 1
  fi
done
echo "$(wc -l <<<"$symbols") exported symbols, all of the interface"
