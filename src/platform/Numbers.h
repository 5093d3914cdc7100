#pragma once

#include <string>

namespace bhv {

// Whole-number and floating-point parsing with the C library's atoi / atof rules: leading
// white space, an optional sign and the leading digits count, anything else reads as 0. Unlike
// the C library these never depend on the process locale (a desktop session may set one whose
// decimal mark is a comma). Whole numbers beyond the type's range are clamped.
int ParseInt(const std::string& text);
long ParseLong(const std::string& text);
double ParseDouble(const std::string& text);

// printf's "%f" and "%g" in the "C" locale.
std::string FormatFixed6(double value);
std::string FormatGeneral(double value);

}  // namespace bhv
