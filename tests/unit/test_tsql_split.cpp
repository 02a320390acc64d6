#include "TSql.h"

#include <gtest/gtest.h>

namespace {

// Describes a parsed batch: simple statements by their first word, blocks in brackets.
std::string Shape(const std::vector<std::unique_ptr<Stmt>>& list) {
    std::string out;
    for (const auto& s : list) {
        if (!out.empty()) out += " | ";
        switch (s->kind) {
        case Stmt::Simple:
            out += s->FirstWord() + "(" + std::to_string(s->tokens.size()) + ")";
            break;
        case Stmt::Block:
            out += "{" + Shape(s->body) + "}";
            break;
        case Stmt::If:
            out += "IF[" + Shape(s->body) + "]" + (s->alt.empty() ? "" : "ELSE[" + Shape(s->alt) + "]");
            break;
        case Stmt::While:
            out += "WHILE[" + Shape(s->body) + "]";
            break;
        case Stmt::TryCatch:
            out += "TRY[" + Shape(s->body) + "]CATCH[" + Shape(s->alt) + "]";
            break;
        case Stmt::Module:
            out += "MODULE";
            break;
        case Stmt::Label:
            out += s->tokens[0].value + ":";
            break;
        }
    }
    return out;
}

TEST(TSqlSplit, StatementsAndBlocks) {
    struct Case {
        const char* sql;
        const char* shape;
    };
    const Case cases[] = {
        {"select 1 select 2", "SELECT(2) | SELECT(2)"},
        {"select 1; select 2;", "SELECT(2) | SELECT(2)"},
        {"insert into t (a) select a from u", "INSERT(10)"},
        {"insert into t values (1) select 2", "INSERT(7) | SELECT(2)"},
        {"update t set a = 1 select a from t", "UPDATE(6) | SELECT(4)"},
        {"select a from t union all select b from u", "SELECT(10)"},
        {"select * from t where a in (select a from u) print 'x'", "SELECT(13) | PRINT(2)"},
        {"with c as (select 1 as x) select x from c", "WITH(13)"},
        {"select * from t with (nolock) where a = 1", "SELECT(12)"},
        {"raiserror('x', 10, 1) with nowait select 1", "RAISERROR(10) | SELECT(2)"},
        {"if @a = 1 select 1 else select 2", "IF[SELECT(2)]ELSE[SELECT(2)]"},
        {"while @i < 3 begin set @i = @i + 1 print @i end", "WHILE[{SET(6) | PRINT(2)}]"},
        {"begin try select 1/0 end try begin catch select error_number() end catch", "TRY[SELECT(4)]CATCH[SELECT(4)]"},
        {"begin tran update t set a = 1 commit", "BEGIN(2) | UPDATE(6) | COMMIT(1)"},
        {"create procedure p as select 1 select 2", "MODULE"},
        {"declare @x int = 5 select @x", "DECLARE(5) | SELECT(2)"},
        {"select 'a;b' as [semi;colon] -- select 2\n/* select 3 */ select 4", "SELECT(4) | SELECT(2)"},
        {"declare @i int = 0 again: set @i = 1 if @i < 3 goto again", "DECLARE(5) | AGAIN: | SET(4) | IF[GOTO(2)]"},
        {"grant select on schema::dbo to r", "GRANT(9)"},
        {"merge t using s on t.a = s.a when matched then update set b = 1 when not matched then insert (a) values (s.a); select 1",
         "MERGE(34) | SELECT(2)"},
        {"declare c cursor for select a, b from t for update of a open c fetch next from c into @a, @b close c",
         "DECLARE(14) | OPEN(2) | FETCH(8) | CLOSE(2)"},
        {"select a from t order by a offset 2 rows fetch next 5 rows only deallocate c", "SELECT(15) | DEALLOCATE(2)"},
    };
    for (const auto& c : cases) EXPECT_EQ(Shape(ParseBatch(c.sql)), c.shape) << c.sql;
}

TEST(TSqlSplit, UnclosedBlockIsASyntaxError) {
    try {
        ParseBatch("begin try select 1");
        ADD_FAILURE();
    } catch (const ParseError& e) {
        EXPECT_EQ(e.message, "Incorrect syntax near 'end of batch'.");
    }
}

}  // namespace
