#include "uNbData.h"

#include "uNbAssert.h"
#include "uNbLog.h"
#include "uNbText.h"

#include <cctype>

namespace {

constexpr const char* kUnit = "NbUtils/uNbData";

bool SkippedWhenNotAll(int type) {
    return type == ftBytes || type == ftVarBytes || (type >= 15 && type <= 22) || (type >= 26 && type <= 31);
}

// Names seen so far, without regard to case, in a hash list: wide tables stay linear.
class TNameSet {
public:
    // True when the name is new (and now remembered).
    bool Add(const std::string& name) {
        const std::string key = NbUpperText(name);
        std::uintptr_t found;
        if (names_.FindByText(key, found)) return false;
        names_.AddPair(++count_, key);
        return true;
    }

private:
    TMemSPHashList names_;
    std::uintptr_t count_ = 0;
};

// Deletes later field definitions whose names repeat an earlier one.
void Tidy(TMemCustomDataSet& ds) {
    auto& defs = ds.FieldDefs();
    TNameSet seen;
    std::erase_if(defs, [&](const TFieldDef& d) { return !seen.Add(d.Name); });
}

void Fill(TMemCustomDataSet& ds, int lineA, int lineB) {
    Tidy(ds);
    if (ds.FastFields().empty())
        for (const auto& d : ds.FieldDefs()) ds.FastFields().push_back(NbFormat("%s,%d,%d", d.Name, d.DataType, d.Size));
    NbAssert(ds.FastFields().size() >= ds.FieldDefs().size(), lineA == 1246 ? "Field count mismatch 1a!" : "Field count mismatch 2a!",
             kUnit, lineA);
    NbAssert(ds.FastFields().size() >= static_cast<size_t>(ds.FieldCount()),
             lineB == 1248 ? "Field count mismatch 1b!" : "Field count mismatch 2b!", kUnit, lineB);
}

// The name of a FastFields text: everything before its last two commas, as the layout reads it, so
// that a name holding a comma ("Price, net") is compared whole.
std::string FastFieldName(const std::string& text) {
    NbAssert(text.find(',') != std::string::npos, "Invalid fastfield string!", kUnit, 1023);
    return ParseFastField(text).name;
}

void CarryProperties(TMemCustomDataSet& into, TMemCustomDataSet& from) {
    for (int i = 0; i < from.FieldCount(); ++i) {
        TField& src = from.Field(i);
        TField* dst = into.FieldNamed(src.FieldName());
        if (!dst) {
            NbAssert(into.FixedFields(), "Assertion failure", kUnit, 1190);
            continue;
        }
        if (!src.DisplayLabel().empty()) dst->SetDisplayLabel(src.DisplayLabel());
        dst->SetDisplayWidth(src.DisplayWidth());
        dst->Visible = src.Visible;
        dst->ReadOnly = src.ReadOnly;
        dst->Required = src.Required;
    }
}

// into := A's columns, then B's columns that A lacks.
void Merge(TMemCustomDataSet& into, TMemCustomDataSet& a, TMemCustomDataSet* b) {
    Fill(a, 1246, 1248);
    NbAssert(a.FastFields().size() >= a.FieldDefs().size(), "Field count mismatch affffd1", kUnit, 1237);
    if (b) Fill(*b, 1253, 1255);
    std::vector<std::string> texts;
    TNameSet names;
    auto add = [&](const std::vector<std::string>& from) {
        for (const auto& t : from)
            if (names.Add(FastFieldName(t))) texts.push_back(t);
    };
    add(a.FastFields());
    if (b) add(b->FastFields());
    into.ClearLayout();
    into.FastFields() = texts;
    into.Open();
    Tidy(into);
    if (!into.FixedFields()) {
        NbAssert(static_cast<size_t>(into.FieldCount()) == into.FastFields().size(), "Field count mismatch 3b!", kUnit, 1275);
        NbAssert(static_cast<size_t>(into.FieldCount()) == into.FieldDefs().size(), "Field count mismatch 3a!", kUnit, 1278);
    }
    if (b) CarryProperties(into, *b);
    CarryProperties(into, a);
}

}  // namespace

void TNbDataSet::CopyFromDataSet(TMemCustomDataSet& source, bool copyRows, bool copyAllFields, bool fromFirst) {
    DefineFieldsFrom(source, true);
    if (copyRows)
        AppendRowsFrom(&source, copyAllFields, fromFirst);
    else
        Open();
}

void TNbDataSet::DefineFieldsFrom(TMemCustomDataSet& source, bool clearFirst) {
    if (clearFirst) ClearLayout();
    for (int i = 0; i < source.FieldCount(); ++i) {
        const TField& f = source.Field(i);
        DefineField(f.FieldName(), f.DataType() == ftWideString ? ftString : f.DataType(), f.Size());
    }
}

void TNbDataSet::AppendRowsFrom(TMemCustomDataSet* source, bool copyAllFields, bool fromFirst) {
    if (!source || (source->AtStart() && source->AtEnd())) {
        if (!Active()) Open();
        return;
    }
    SuspendControls();
    if (!Active()) Open();
    const bool upkeep = Indexes().Upkeep();
    Indexes().SetUpkeep(false);
    const TMemPositionGuard sourcePosition(*source);
    // Source fields matched to this dataset's fields once, not per row.
    std::vector<std::pair<TField*, TField*>> pairs;
    for (int i = 0; i < source->FieldCount(); ++i) {
        TField& s = source->Field(i);
        TField* t = FieldNamed(s.FieldName());
        if (!t) continue;
        if (!copyAllFields && SkippedWhenNotAll(t->DataType())) continue;
        pairs.emplace_back(&s, t);
    }
    auto restore = [&] {
        RebuildNaturalIndex();
        MoveFirst();
        Indexes().SetUpkeep(upkeep);
        ResumeControls();
    };
    try {
        if (fromFirst && source->RowCount() > 0) source->MoveFirst();
        while (!source->AtEnd()) {
            AppendRow();
            // Every value is carried as it is, nulls included: a wide text or a 64-bit integer
            // that is null stays null.
            for (auto& [s, t] : pairs) {
                if (s->ValueIsNull()) continue;
                if (IsBlobType(s->DataType()) || s->DataType() == ftTimeStamp || s->DataType() == ftFMTBcd || s->DataType() == ftGuid ||
                    s->DataType() == ftVariant || s->DataType() == ftBytes || s->DataType() == ftVarBytes)
                    t->AssignValue(*s);
                else if (StorageOf(s->DataType()) == TMemStorage::Text)
                    t->SetAsText(s->TextView());
                else
                    t->AssignValue(*s);
            }
            PostRow();
            source->MoveNext();
        }
    } catch (...) {
        if (State() == TDataSetState::Insert) CancelRow();
        restore();
        throw;
    }
    restore();
}

void TNbDataSet::SmartCopy(TMemCustomDataSet& source) {
    NbLog("SmartCopying dataset \"%s\" into \"%s\"", source.Name, Name);
    SuspendControls();
    source.SuspendControls();
    auto resume = [&] {
        source.ResumeControls();
        ResumeControls();
        Open();
    };
    try {
        if (RowCount() > 0) EmptyRows();
        TMemDataSet intermediate;
        Merge(intermediate, *this, &source);
        Merge(*this, intermediate, nullptr);
        SetFixedFields(true);
        if (RowCount() > 0) EmptyRows();
        AppendRowsFrom(&source, true, true);
    } catch (...) {
        resume();
        throw;
    }
    resume();
}
