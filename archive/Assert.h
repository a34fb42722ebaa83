// Assertions that stay active in every build type.
//
// KERV_ASSERT(condition, text) hands `text` to the C library's assertion
// routine, which prints it with the source location and aborts, whenever
// `condition` is false. The condition and its printed text are separate so
// that a bound can be tested without forming an out-of-range pointer while
// the message still shows the bound in its familiar form.
#pragma once

#if defined(_WIN32)
// The Windows C library's routine writes its message in UTF-16 where
// standard error is no console; this one writes the text, the file, the
// line and the function as bytes, and aborts.
[[noreturn]] void assertionFailed(const char* text, const char* file, unsigned line, const char* function) noexcept;
#define KERV_ASSERT_FAIL(text) assertionFailed(text, __FILE__, __LINE__, __PRETTY_FUNCTION__)
#elif defined(__GLIBC__)
// glibc's routine also prints the function. <assert.h> leaves it out when
// NDEBUG is defined, so it is declared here. (The GNU attribute, unlike
// [[noreturn]], may follow <assert.h>'s own declaration.)
extern "C" void __assert_fail(const char* assertion, const char* file, unsigned int line,
                              const char* function) noexcept __attribute__((__noreturn__));
#define KERV_ASSERT_FAIL(text) __assert_fail(text, __FILE__, __LINE__, __PRETTY_FUNCTION__)
#else
// Other C libraries (musl, WebAssembly's) declare theirs in any case.
#include <assert.h>
#define KERV_ASSERT_FAIL(text) __assert_fail(text, __FILE__, __LINE__, __PRETTY_FUNCTION__)
#endif

#define KERV_ASSERT(condition, text) ((condition) ? static_cast<void>(0) : KERV_ASSERT_FAIL(text))
