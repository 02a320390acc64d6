// Shared helpers for the dataset tests: fixed regional settings and small dataset builders.
#pragma once

#include "uMemDataSet.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

class DatasetTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = FormatSettings();
        TFormatSettings& fs = FormatSettings();
        fs = TFormatSettings{};  // M/d/yyyy, h:mm:ss AMPM, ".", "$"
    }
    void TearDown() override { FormatSettings() = saved_; }

    // A dataset with one column of the given type holding the given texts ("<null>" for null).
    static std::unique_ptr<TMemDataSet> OneColumn(int type, int size, std::initializer_list<const char*> values) {
        auto ds = std::make_unique<TMemDataSet>();
        ds->DefineField("V", type, size);
        ds->Open();
        for (const char* v : values) {
            ds->AppendRow();
            if (std::string(v) != "<null>") ds->Field(0).SetValueText(v);
            ds->PostRow();
        }
        ds->MoveFirst();
        return ds;
    }

    static std::vector<std::string> Column(TMemCustomDataSet& ds, int field = 0) {
        std::vector<std::string> out;
        ds.MoveFirst();
        while (!ds.AtEnd()) {
            out.push_back(ds.Field(field).ValueIsNull() ? "<null>" : ds.Field(field).ValueText());
            ds.MoveNext();
        }
        return out;
    }

private:
    TFormatSettings saved_;
};
