// Where the interpreter's answers go: result sets, messages, statement ends and changes of the
// session's state. The wire side writes them as TDS tokens; tests record them.
#pragma once

#include "Value.h"

#include <cstdint>
#include <string_view>
#include <vector>

// Status bits of a statement's end.
enum : std::uint16_t { kDoneFinal = 0, kDoneMore = 0x01, kDoneError = 0x02, kDoneInXact = 0x04, kDoneCount = 0x10, kDoneAttn = 0x20 };
// The statement kinds an end reports.
enum : std::uint16_t { kCmdSelect = 0xC1, kCmdInsert = 0xC3, kCmdDelete = 0xC4, kCmdUpdate = 0xC5 };

// What ends: a statement of a batch, a procedure called by the client, or a statement inside a procedure.
enum class DoneKind { Statement, Procedure, InProcedure };
enum class TranEvent { Begin, Commit, Rollback };

class ResultSink {
public:
    virtual ~ResultSink() = default;

    virtual void Columns(const std::vector<SqlColumn>& cols) = 0;
    virtual void Row(const std::vector<SqlColumn>& cols, const std::vector<SqlValue>& values) = 0;
    virtual void Done(DoneKind kind, std::uint16_t status, std::uint16_t cmd, std::uint64_t rows) = 0;
    virtual void Message(bool error, std::int32_t number, std::uint8_t state, std::uint8_t severity, std::string_view text,
                         std::string_view server, std::string_view proc, std::int32_t line) = 0;
    virtual void DatabaseChanged(std::string_view newName, std::string_view oldName) = 0;
    virtual void Transaction(TranEvent event, std::uint64_t id) = 0;
    virtual void ReturnStatus(std::int32_t status) = 0;
    virtual void ReturnValue(std::uint16_t ordinal, std::string_view name, const SqlColumn& col, const SqlValue& value) = 0;

    // Whether the client has gone (the answers can no longer be delivered).
    virtual bool Failed() const = 0;
    // Whether the last thing written ends a statement.
    virtual bool EndsWithDone() const = 0;
    // Sends what is written so far at once (RAISERROR ... WITH NOWAIT).
    virtual void Flush() {}
    // SET LANGUAGE changed the session's language.
    virtual void LanguageChanged(std::string_view newName, std::string_view oldName) {
        (void)newName;
        (void)oldName;
    }
};
