// Names the frames of a captured stack from the program's debug information (libdw): the source
// unit, the function, the line and the offsets, one line per frame, innermost first.
#pragma once

#include <string>
#include <vector>

// One line per return address, each ending in a carriage return and line feed:
//   [ADDRESS] unit.function (Line 12, "file.cpp" + 3) + $1A   source line known
//   [ADDRESS] function + $1A                                  only the symbol known
//   (RELATIVE) [ADDRESS]                                       nothing known
std::string NbFormatStackTrace(const std::vector<void*>& frames);
