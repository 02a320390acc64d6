// Assertion failures of the in-house units: "%s (%s, line %d)" with the unit written as its source
// path without extension (for example "NbUtils/uNbInstaller") and the line that unit assigns to the check.
#pragma once

#include <string_view>

[[noreturn]] void NbAssertFail(std::string_view text, std::string_view unit, int line);

inline void NbAssert(bool condition, std::string_view text, std::string_view unit, int line) {
    if (!condition) NbAssertFail(text, unit, line);
}
