// Cutting SQL text into batches at "GO" lines, and the debug wrapping of a batch.
#pragma once

#include <string>

// The first line with its CR LF; the text loses it.
std::string TakeLine(std::string& text);
// The next batch: lines up to the next line that is exactly "GO\r\n", which is dropped.
std::string TakeNextBatch(std::string& text);
// The batch inside the TRY/CATCH debug template when debug is set, else the batch unchanged.
std::string WrapDebugBatch(const std::string& batch, bool debug);

extern const char* const kDebugTemplate;
