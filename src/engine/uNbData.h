// The result dataset: an in-memory dataset filled by copying another dataset (a server result or
// an imported file), with its columns and all its rows.
#pragma once

#include "uMemDataSet.h"

class TNbDataSet : public TMemDataSet {
public:
    // DefineFieldsFrom(source, clear first), then AppendRowsFrom when copyRows; open afterwards.
    void CopyFromDataSet(TMemCustomDataSet& source, bool copyRows = true, bool copyAllFields = true, bool fromFirst = true);
    // One FastFields text per source field (a wide string becomes a string of the same size).
    void DefineFieldsFrom(TMemCustomDataSet& source, bool clearFirst);
    // One row per source row; values keep their nulls.
    void AppendRowsFrom(TMemCustomDataSet* source, bool copyAllFields, bool fromFirst);
    // This dataset's fields plus the source's missing ones, with the source's rows.
    void SmartCopy(TMemCustomDataSet& source);
};
