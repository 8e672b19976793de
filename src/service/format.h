// printf-style formatting into a string: every text the service emits comes from
// one format, and the compiler checks each format against its arguments.
#pragma once

#include <string>

std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
