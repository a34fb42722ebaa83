# liblzma's decoder from third_party/xz, as a static library kerv_lzma,
# for the builds that have no system liblzma (the page, Windows).
set(xz ${PROJECT_SOURCE_DIR}/third_party/xz/src)
add_library(kerv_lzma STATIC
  ${xz}/liblzma/check/check.c
  ${xz}/liblzma/check/crc32_fast.c
  ${xz}/liblzma/check/crc32_table.c
  ${xz}/liblzma/check/crc64_fast.c
  ${xz}/liblzma/check/crc64_table.c
  ${xz}/liblzma/common/block_decoder.c
  ${xz}/liblzma/common/block_header_decoder.c
  ${xz}/liblzma/common/block_util.c
  ${xz}/liblzma/common/common.c
  ${xz}/liblzma/common/filter_common.c
  ${xz}/liblzma/common/filter_decoder.c
  ${xz}/liblzma/common/filter_flags_decoder.c
  ${xz}/liblzma/common/index_hash.c
  ${xz}/liblzma/common/stream_decoder.c
  ${xz}/liblzma/common/stream_flags_common.c
  ${xz}/liblzma/common/stream_flags_decoder.c
  ${xz}/liblzma/common/vli_decoder.c
  ${xz}/liblzma/common/vli_size.c
  ${xz}/liblzma/lz/lz_decoder.c
  ${xz}/liblzma/lzma/lzma2_decoder.c
  ${xz}/liblzma/lzma/lzma_decoder.c
)
set_target_properties(kerv_lzma PROPERTIES LINKER_LANGUAGE C POSITION_INDEPENDENT_CODE ON C_STANDARD 99)
target_compile_definitions(kerv_lzma PRIVATE HAVE_CONFIG_H PUBLIC LZMA_API_STATIC)
target_compile_options(kerv_lzma PRIVATE -w)  # its own code, as its authors build it
target_include_directories(kerv_lzma PRIVATE ${PROJECT_SOURCE_DIR}/third_party/xz ${xz}/common
  ${xz}/liblzma/common ${xz}/liblzma/check ${xz}/liblzma/lz ${xz}/liblzma/lzma ${xz}/liblzma/rangecoder
  ${xz}/liblzma/delta ${xz}/liblzma/simple PUBLIC ${xz}/liblzma/api)
