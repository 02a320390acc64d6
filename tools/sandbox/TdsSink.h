// The interpreter's answers as TDS tokens of the response in progress.
#pragma once

#include "ResultSink.h"
#include "TdsWriter.h"

class TdsSink : public ResultSink {
public:
    explicit TdsSink(TdsWriter& out) : out_(out) {}

    void Columns(const std::vector<SqlColumn>& cols) override { out_.ColMetadata(cols); }
    void Row(const std::vector<SqlColumn>& cols, const std::vector<SqlValue>& values) override { out_.Row(cols, values); }
    void Done(DoneKind kind, std::uint16_t status, std::uint16_t cmd, std::uint64_t rows) override {
        out_.Done(kind == DoneKind::Statement   ? kTokenDone
                  : kind == DoneKind::Procedure ? kTokenDoneProc
                                                : kTokenDoneInProc,
                  status, cmd, rows);
    }
    void Message(bool error, std::int32_t number, std::uint8_t state, std::uint8_t severity, std::string_view text, std::string_view server,
                 std::string_view proc, std::int32_t line) override {
        out_.Message(error, number, state, severity, text, server, proc, line);
    }
    void DatabaseChanged(std::string_view newName, std::string_view oldName) override { out_.EnvChange(1, newName, oldName); }
    void Transaction(TranEvent event, std::uint64_t id) override {
        // The transaction descriptor: 8 bytes, new for a begin, old for a commit or rollback.
        const std::string descriptor(reinterpret_cast<const char*>(&id), 8);
        if (event == TranEvent::Begin)
            out_.EnvChangeBytes(8, descriptor, "");
        else
            out_.EnvChangeBytes(event == TranEvent::Commit ? 9 : 10, "", descriptor);
    }
    void ReturnStatus(std::int32_t status) override { out_.ReturnStatus(status); }
    void ReturnValue(std::uint16_t ordinal, std::string_view name, const SqlColumn& col, const SqlValue& value) override {
        out_.ReturnValue(ordinal, name, col, value);
    }
    bool Failed() const override { return out_.Failed(); }
    bool EndsWithDone() const override { return out_.EndsWithDone(); }
    void Flush() override { out_.Flush(); }
    void LanguageChanged(std::string_view newName, std::string_view oldName) override { out_.EnvChange(2, newName, oldName); }

private:
    TdsWriter& out_;
};
