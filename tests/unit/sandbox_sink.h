// Records what the stand-in's interpreter answers, one line per event. The brief form keeps rows,
// messages and transaction changes only, for checks that care about data and errors.
#pragma once

#include "Session.h"

#include <string>
#include <utility>
#include <vector>

class RecordingSink final : public ResultSink {
public:
    explicit RecordingSink(bool brief = false) : brief_(brief) {}
    std::vector<std::string> events;

    void Columns(const std::vector<SqlColumn>& cols) override {
        if (brief_) return;
        std::string e = "columns";
        for (const auto& c : cols) e += " " + c.name + ":" + c.type.Name();
        Add(e);
    }
    void Row(const std::vector<SqlColumn>&, const std::vector<SqlValue>& values) override {
        std::string e = "row";
        for (const auto& v : values) e += " " + (v.type == SqlValue::Null ? std::string("NULL") : v.AsText());
        Add(e);
    }
    void Done(DoneKind kind, std::uint16_t status, std::uint16_t, std::uint64_t rows) override {
        if (!brief_) {
            std::string e = kind == DoneKind::Statement ? "done" : kind == DoneKind::Procedure ? "doneproc" : "doneinproc";
            if (status & kDoneCount) e += " " + std::to_string(rows);
            if (status & kDoneError) e += " error";
            Add(e);
        }
        endsWithDone_ = true;
    }
    void Message(bool error, std::int32_t number, std::uint8_t, std::uint8_t, std::string_view text, std::string_view, std::string_view,
                 std::int32_t) override {
        Add(std::string(error ? "error " : "info ") + std::to_string(number) + " " + std::string(text));
    }
    void DatabaseChanged(std::string_view newName, std::string_view) override {
        if (!brief_) Add("database " + std::string(newName));
    }
    void Transaction(TranEvent event, std::uint64_t) override {
        if (brief_)
            Add(event == TranEvent::Rollback ? "rollback" : "tran");
        else
            Add(event == TranEvent::Begin ? "begin" : event == TranEvent::Commit ? "commit" : "rollback");
    }
    void ReturnStatus(std::int32_t status) override {
        if (!brief_) Add("status " + std::to_string(status));
    }
    void ReturnValue(std::uint16_t, std::string_view name, const SqlColumn&, const SqlValue& value) override {
        if (!brief_) Add("output " + std::string(name) + "=" + value.AsText());
    }
    bool Failed() const override { return false; }
    bool EndsWithDone() const override { return endsWithDone_; }

    std::vector<std::string> Take() {
        endsWithDone_ = false;
        return std::exchange(events, {});
    }

private:
    void Add(std::string e) {
        events.push_back(std::move(e));
        endsWithDone_ = false;
    }
    bool brief_;
    bool endsWithDone_ = false;
};
