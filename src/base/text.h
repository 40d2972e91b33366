// Text helpers every floor uses.
#pragma once

#include <cstdarg>
#include <string>

// printf into a string.
std::string formatted(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string vformatted(const char *format, va_list args);

// printf's "%s" of a possibly null string, spelled out rather than left to
// the C library.
inline const char *printable(const char *text) { return text != nullptr ? text : "(null)"; }
