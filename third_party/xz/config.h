/* What this build of liblzma holds: the xz stream decoder with the LZMA1
   and LZMA2 filters and the CRC32 and CRC64 checks, on one thread. Written
   for this copy (xz-utils' configure is not run). */
#define HAVE_CHECK_CRC32 1
#define HAVE_CHECK_CRC64 1
#define HAVE_DECODER_LZMA1 1
#define HAVE_DECODER_LZMA2 1
#define HAVE_STDBOOL_H 1
#define HAVE__BOOL 1
#define HAVE_STDINT_H 1
#define HAVE_INTTYPES_H 1
#define HAVE_LIMITS_H 1
#define HAVE_STRING_H 1
#define HAVE_STDLIB_H 1
#define SIZEOF_SIZE_T __SIZEOF_SIZE_T__
#define PACKAGE_NAME "XZ Utils"
#define PACKAGE_URL ""
