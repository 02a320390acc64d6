// Cutting SQL text into batches at "GO" lines, and the debug wrapping of a batch.
#pragma once

#include <string>
#include <string_view>

// The first line with its CR LF; the text loses it.
std::string TakeLine(std::string& text);
// The next batch: lines up to the next line that is exactly "GO\r\n", which is dropped.
std::string TakeNextBatch(std::string& text);
// The batch that starts at pos, pos moved past it and its "GO" line: the script is walked once.
std::string NextBatch(std::string_view text, size_t& pos);
// The same walk over text whose lines may end in CR LF, LF or CR: the batch comes back with CR LF
// endings, as NextBatch(CrLfText(text)) would give it, without a converted copy of the whole text.
std::string NextBatchAnyLineEnd(std::string_view text, size_t& pos);
// The batch inside the TRY/CATCH debug template when debug is set, else the batch unchanged.
std::string WrapDebugBatch(const std::string& batch, bool debug);

extern const char* const kDebugTemplate;

// Every line ending (CR LF, LF, CR) made CR LF, as the editor delivers its text.
std::string CrLfText(std::string_view text);

// The text of a script file: by its byte-order mark UTF-8 (mark dropped), UTF-16 LE or BE, else
// UTF-8. Throws EConvertError naming the line for a file that is not valid UTF-8 (or UTF-16) or
// holds a NUL character: nothing of such a file may be sent.
// The bytes are taken over: a UTF-8 file's text is its own buffer, checked in place.
std::string DecodeScriptBytes(std::string bytes);
