// The XML dataset file: TABLE / METADATA / FIELDS / FIELD / ROWDATA / ROW, read into a dataset.
#pragma once

#include "MemHash.h"
#include "uMemDataSet.h"
#include "uNbExceptions.h"
#include "uNbTemp.h"

#include <string>

NB_DECLARE_EXCEPTION(EXML2Dataset, Exception);

class TNbDataSet;
class TNbFileRepository;

// A streaming reader of the layout above; parses the whole stream into the dataset when created.
class TXML2DataSet {
public:
    TXML2DataSet(TMemCustomDataSet& dataset, TNbTempMemoryStream& stream);
    ~TXML2DataSet();

private:
    enum class State { WaitTable, InTable, AfterMetadata, InMetadata, InRowdata };
    bool NextElement(std::string& element);  // the text between "<" and ">"; false at the end
    // Up to the next "<" that does not start a CDATA section; what and name name the value (begun
    // at startedAt) in the error raised when the input ends first.
    std::string ReadText(std::string_view what, std::string_view name, size_t startedAt);
    void ReadFields();
    void ReadRow();
    void StoreValue(TField& field, size_t startedAt);
    std::string ReadBlob(TField& field, bool& present, size_t startedAt);
    TField* FindField(const std::string& name);
    [[noreturn]] void Truncated(const std::string& what, size_t startedAt) const;

    TMemCustomDataSet& ds_;
    std::string decoded_;  // the input as UTF-8 when it came in UTF-16
    std::string_view in_;  // the stream's bytes, read in place
    size_t pos_ = 0;
    size_t elementAt_ = 0;  // where the last element read begins
    State state_ = State::WaitTable;
    int rowCounter_ = 0;
    int nextField_ = 0;  // the field after the last one found by name: usually the next one named
    TMemSPHashList lists_[3];
};

// Loads a file (through a repository when one is given) into the result dataset.
void LoadXmlFile(TNbDataSet& result, TNbFileRepository* repository, const std::string& fileName);
// Reads the stream into an intermediate dataset named "XMLFILE" and SmartCopies it into the result.
void LoadXmlStream(TNbDataSet& result, TNbTempMemoryStream& stream);
void FillFromXml(TMemCustomDataSet& intermediate, TNbTempMemoryStream& stream);
