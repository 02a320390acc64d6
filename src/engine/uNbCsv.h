// A dataset as comma-separated values: a header line of display names, one line per row, CR LF
// after every line, items quoted when they hold a control character, a space, a quote or a comma.
#pragma once

#include "uMemDataSet.h"

#include <string>
#include <vector>

// The comma text of one line's items.
std::string CsvCommaText(const std::vector<std::string>& items);
// The whole CSV text (dates written M/d/yyyy for the duration).
std::string DataSetToCsv(TMemCustomDataSet& ds);
class TNbStreamWrap;
// DataSetToCsv, then the text to the wrapper.
void WriteDataSetCsv(TNbStreamWrap& wrap, TMemCustomDataSet& ds);

// Writes the CSV of a dataset to a file. The rows go to a temporary file beside the target, which
// replaces the target only once complete: a failed export leaves the old file as it was. The old
// file's mode is kept (a new file gets the umask's); a symbolic link is written through to its
// target; a FIFO, a device or standard output is written straight into, never replaced.
void ExportCsvFile(TMemCustomDataSet& ds, const std::string& path);

// The same export in steps, so that the rows can be written while other work goes on and the
// target replaced only once that work has succeeded too: Write, then Commit. A regular file (or
// none yet) is written to a temporary beside it, which Commit puts in its place and which is
// removed if the export ends without Commit; a FIFO, a device or standard output is written
// straight into.
class TCsvFileExport {
public:
    explicit TCsvFileExport(const std::string& path);
    ~TCsvFileExport();
    TCsvFileExport(const TCsvFileExport&) = delete;
    TCsvFileExport& operator=(const TCsvFileExport&) = delete;
    // Whether nothing reaches the target before Commit.
    bool Staged() const { return !tmp_.empty(); }
    // Writes the rows in the dataset's order, reading them by position: the cursor is not used, so
    // another thread may move it meanwhile, but nothing may change the rows.
    void Write(TMemCustomDataSet& ds);
    void Commit();

private:
    std::string path_, target_, tmp_;
    int fd_ = -1;
};
