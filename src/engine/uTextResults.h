// Result datasets as fixed-width text: a row count, a heading, an optional underline and at most
// 10000 data lines per dataset, every column followed by one space.
#pragma once

#include "uMemDataSet.h"

#include <memory>
#include <string>
#include <vector>

struct TTextRenderSettings {
    int MaxColumnWidth = 100;  // 0 or less: no limit
    bool UnderlineHeadings = true;
};

// The first min(width, MaxColumnWidth) characters of the text, padded with spaces to that length.
std::string FormatColumnCell(std::string_view text, int width, int maxColumnWidth);

// Appends the text of the datasets to out (which holds the messages already).
void RenderTextResults(std::string& out, const std::vector<std::unique_ptr<TMemCustomDataSet>>& results,
                       const TTextRenderSettings& settings);

inline constexpr int kTextRowCap = 10000;
