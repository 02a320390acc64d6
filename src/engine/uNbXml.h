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
    std::string ReadText();                  // up to the next "<" that does not start a CDATA section
    void ReadFields();
    void ReadRow();
    void StoreValue(TField& field);
    std::string ReadBlob(bool& present);

    TMemCustomDataSet& ds_;
    std::string_view in_;  // the stream's bytes, read in place
    size_t pos_ = 0;
    State state_ = State::WaitTable;
    int rowCounter_ = 0;
    TMemSPHashList lists_[3];
};

// Loads a file (through a repository when one is given) into the result dataset.
void LoadXmlFile(TNbDataSet& result, TNbFileRepository* repository, const std::string& fileName);
// Reads the stream into an intermediate dataset named "XMLFILE" and SmartCopies it into the result.
void LoadXmlStream(TNbDataSet& result, TNbTempMemoryStream& stream);
void FillFromXml(TMemCustomDataSet& intermediate, TNbTempMemoryStream& stream);
