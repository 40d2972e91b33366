#include "base/failure.h"

#include <cstdarg>

#include "base/text.h"

void fail(const char *format, ...) {
    va_list args;
    va_start(args, format);
    Failure failure{vformatted(format, args)};
    va_end(args);
    throw failure;
}

void fail_same_line(const char *format, ...) {
    va_list args;
    va_start(args, format);
    Failure failure{vformatted(format, args), true};
    va_end(args);
    throw failure;
}
