// The T-SQL interpreter of one connection: batches and remote procedure calls run on SQLite (one
// file per database), their rows and messages go to a result sink. It knows nothing of the wire.
#pragma once

#include "ResultSink.h"
#include "SelectList.h"
#include "ServerState.h"
#include "SqlType.h"
#include "SqliteUtil.h"
#include "TSql.h"
#include "Value.h"

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct ColumnInfo;

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_context;
struct sqlite3_value;
class Session;

// The context of one SQL function registered on a session's database handle.
struct FnData {
    Session* session;
    int id;
    std::string name;
};

// A failure that SQL Server reports as an error token.
struct SqlError {
    int number = 50000;
    int severity = 16;
    int state = 1;
    std::string message;
    int line = 1;
    std::string procedure;
    bool abortsBatch = false;
    bool raised = false;  // by RAISERROR, which SET XACT_ABORT ON leaves alone
};

// A system procedure's argument by name (@objname) or by position; NULL when not given.
SqlValue ProcedureArgument(const std::vector<std::pair<std::string, SqlValue>>& args, const char* name, size_t position);

// Error 131 when a declared length is beyond what the type allows (nvarchar(8000), varchar(9000)).
void CheckTypeSize(const SqlType& type, int line);
// printf-style formatting of RAISERROR's and FORMATMESSAGE's messages (%d, %i, %u, %x, %X, %s).
std::string FormatRaiserror(const std::string& fmt, const std::vector<SqlValue>& args);

// How a value converted to a character type is written where SQL Server's form differs from the
// stored one: money with two decimals, datetime and smalldatetime as "Dec  4 2011 10:04AM", a float
// with up to six digits (1.23457e+006), a decimal with all its scale's digits (5.00).
struct TextForm {
    enum Kind : char { Stored, Money, DateTime, Float, Decimal } kind = Stored;
    int scale = 0;
};
// The form of values of the type.
TextForm TextFormOf(const SqlType& source);
// expr written in the form, by the style when one is given (CONVERT's third argument).
std::vector<Token> TextFormTokens(const std::vector<Token>& expr, const TextForm& form, std::vector<Token> style = {});

struct Attention {};
struct DropConnection {};
// Ends the connection once the response so far has been sent (errors of severity 20 and more).
struct EndConnection {};

class Session {
public:
    // attention() tells whether the client has asked to cancel; it is polled while statements run.
    Session(ServerState& server, ResultSink& out, std::function<bool()> attention);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the login's database; false with the error text when it does not exist.
    bool Open(const std::string& database, std::string& error);
    const std::string& Database() const { return dbName_; }
    int Spid() const { return spid_; }
    void SetUser(std::string user) { user_ = std::move(user); }
    // The stored name of a table name: local temporary tables carry the session's id.
    std::string TempName(const std::string& name) const;
    // The name a table was written with: TempName undone.
    std::string ShownName(const std::string& stored) const;
    // The client's host and program names from its login (HOST_NAME(), APP_NAME()).
    void SetClient(std::string host, std::string app) {
        hostName_ = std::move(host);
        appName_ = std::move(app);
    }

    // Runs a SQL batch; the answers go to the sink (the caller finishes the response).
    void RunBatch(const std::string& sql);

    using RpcParam = ::RpcParam;
    void RunRpc(const std::string& procName, int procId, std::vector<RpcParam> params);

    // A transaction manager request: 5 begin, 7 commit, 8 rollback; beginNew starts the next
    // transaction at once (the driver's manual-commit mode).
    void TransactionRequest(int type, bool beginNew);

    // The client's reset of the connection (a flag on its next request): an open transaction is
    // rolled back and the session's options return to their defaults.
    void ResetConnection(bool keepTransaction);

    // The number of the last error raised in this session (0 for none).
    int LastError() const { return lastError_; }
    void ClearLastError() { lastError_ = 0; }

    // Fault injection for tests: after this many rows of the next result, the connection drops.
    void DropAfterRows(long rows) { dropAfterRows_ = rows; }

    // The rows of a catalog view made per query (sys.indexes, sys.sql_modules, ...), by its source name.
    std::vector<std::vector<SqlValue>> CatalogViewRows(const std::string& view);

private:
    struct Variable {
        SqlType type;
        SqlValue value;
    };
    struct CatchInfo {
        SqlError error;
    };
    struct Cursor {
        std::vector<Token> query;  // the SELECT
        bool scroll = false;       // fetches in any direction, not NEXT only
        bool open = false;
        std::vector<SqlColumn> columns;
        std::vector<std::vector<SqlValue>> rows;  // read at OPEN
        long long position = -1;                  // -1 before the first row, rows.size() after the last
    };
    struct Scope {
        std::map<std::string, Variable> vars;
        std::map<std::string, Cursor> cursors;  // LOCAL cursors, by upper-case name
        std::string procedure;
        // Table variables of the scope: upper-case name with '@' -> the local temporary table that
        // holds the rows, dropped when the scope ends.
        std::map<std::string, std::string> tables;
    };
    void PopScope();
    void ClearScopes();
    bool NamesTableVariable(const std::vector<Token>& t, int line) const;
    std::vector<Token> WithTableVariables(const std::vector<Token>& t) const;
    void DeclareTableVariable(const std::vector<Token>& part, size_t tableAt, int line);
    int tableVariables_ = 0;  // numbers the tables behind table variables
    static bool IsCursorDeclaration(const std::vector<Token>& t);
    Cursor* FindCursor(const std::string& name, bool global);
    void ExecDeclareCursor(const std::vector<Token>& t, int line);
    void ExecCursorStatement(const std::vector<Token>& t, int line);
    void ExecMerge(const std::vector<Token>& t, int line);
    int mergeCount_ = 0;  // numbers MERGE's temporary tables
    std::vector<std::string> runningTriggers_;  // the triggers whose bodies run, innermost last
    std::map<std::string, Cursor> cursors_;  // GLOBAL cursors of the connection
    int fetchStatus_ = -1;                   // @@FETCH_STATUS
    std::int64_t cursorRows_ = 0;            // @@CURSOR_ROWS
    struct ReturnSignal {
        int status = 0;
        SqlValue value;  // a function's result
    };
    struct Module {
        std::string name;
        std::string xtype;
        std::vector<std::pair<std::string, SqlType>> params;  // upper-case names with '@'
        std::vector<std::string> spellings;                   // the names as declared, for messages
        std::vector<std::vector<Token>> defaults;             // empty when none
        std::vector<bool> outputs;
        std::string body;  // statements after AS
        int bodyLine = 1;
    };
    // Procedures and functions nest at most 32 levels deep.
    static constexpr int kMaxNesting = 32;
    void CheckNesting(int line) const;
    std::optional<Module> LoadModule(const std::string& name, const char* xtypes);
    static Module ParseModuleHeader(const std::string& source);
    SqlValue CallFunction(const std::string& name, std::vector<SqlValue> args);
    std::vector<std::unique_ptr<struct FnData>> fnData_;
    struct LoopSignal {
        bool isBreak;
    };
    // GOTO: unwinds to the statement list that holds the label.
    struct GotoSignal {
        std::string label;
        int line;
    };
    // Runs the statements of a batch or module: a GOTO that finds its label only inside a block it
    // is not in is refused there.
    void ExecBody(const std::vector<std::unique_ptr<Stmt>>& list);
    struct BatchAbort {};

    // Statements.
    void ExecList(const std::vector<std::unique_ptr<Stmt>>& list);
    void Exec(const Stmt& s);
    void ExecSimple(const Stmt& s);
    void ExecStatement(const Stmt& s);
    // SELECT ... INTO t: false when the statement has no INTO (SelectInto.cpp).
    bool ExecSelectInto(const std::vector<Token>& t, int line);
    // sp_tables, sp_columns, sp_datatype_info (CatalogProcs.cpp): false for other names.
    bool ExecCatalogProcedure(const std::string& upper, const std::vector<std::pair<std::string, SqlValue>>& args, int line);
    // sp_help, sp_helptext, sp_helpindex, sp_rename, sp_databases, sp_who, sp_spaceused
    // (SystemProcs.cpp): false for other names.
    bool ExecHelpProcedure(const std::string& upper, const std::vector<std::pair<std::string, SqlValue>>& args);
    friend class SystemProcedures;
    void ExecModule(const Stmt& s);
    void ExecSql(const std::vector<Token>& tokens, int line, bool isQuery);
    void ExecDeclare(const std::vector<Token>& t, int line);
    void ExecSet(const std::vector<Token>& t, int line);
    void ExecPrint(const std::vector<Token>& t, int line);
    void ExecRaiserror(const std::vector<Token>& t, int line);
    void ExecThrow(const std::vector<Token>& t, int line);
    void ExecUse(const std::vector<Token>& t, int line);
    void ExecWaitfor(const std::vector<Token>& t, int line);
    void ExecExec(const std::vector<Token>& t, int line);
    void ExecCreateTable(const std::vector<Token>& t, int line);
    // Defaults and check constraints are catalog objects of their own (xtype 'D', 'C') with their text.
    struct ConstraintObject {
        const char* xtype;
        std::string name, column, text;
    };
    // A column of CREATE TABLE or ALTER TABLE ... ADD: its catalog facts, its defaults and checks,
    // and its SQLite definition; named is set when it names a CHECK or REFERENCES constraint.
    std::string ColumnDefinition(const std::vector<Token>& part, const std::string& shownName, int databaseCollation, int line,
                                 ColumnInfo& c, std::vector<ConstraintObject>& constraintObjects, bool& named);
    void RecordConstraintObjects(int tableId, const std::string& name, const std::string& shownName,
                                 const std::vector<ConstraintObject>& constraintObjects);
    // ALTER TABLE ... ADD of columns (from the first column's name), recorded in the catalog as
    // CREATE TABLE records them; false when SQLite's own ADD COLUMN is to run.
    bool AddColumns(const std::string& written, const std::vector<Token>& t, size_t from, int line);
    // The collation of the current database (CREATE DATABASE ... COLLATE), for columns that name none.
    int DatabaseCollation();
    void ExecDrop(const std::vector<Token>& t, int line);
    // BEGIN, COMMIT, ROLLBACK or SAVE; t, when given, is the statement (its transaction or savepoint name).
    void ExecTransaction(const std::string& word, int line, const std::vector<Token>* t = nullptr);
    void GenerateRows(long count);
    int RunProcedure(const std::string& name, std::vector<std::pair<std::string, SqlValue>> args, int line,
                     std::map<std::string, std::string>* outputs, std::map<std::string, SqlValue>* outputValues);
    // Runs dynamic SQL with its parameters; finalVars receives their values at the end.
    void RunText(const std::string& sql, const std::map<std::string, Variable>& params, int line,
                 std::map<std::string, Variable>* finalVars = nullptr);

    // Evaluating and translating.
    SqlValue Eval(const std::vector<Token>& expr, int line);
    bool EvalCondition(const std::vector<Token>& cond, int line);
    std::string Translate(const std::vector<Token>& tokens, int line);
    // 8120 for a column of a grouped query's select list that is neither grouped nor aggregated (GroupedColumns.cpp).
    void CheckGrouping(const std::vector<Token>& t, int line);
    SqlStmt Prepare(const std::string& sql, int line);
    void Bind(sqlite3_stmt* st, int line);
    std::vector<SqlColumn> DescribeColumns(sqlite3_stmt* st, const std::vector<Token>& tokens);
    SqlType InferExprType(const std::vector<Token>& expr, bool& named);
    // The type of expr when it can be seen; false when not, or when typing it fails (an unknown
    // column, say), which the statement itself will report.
    bool SeenType(const std::vector<Token>& expr, SqlType& type);
    // Arithmetic whose result is a decimal or money as calls of sandbox_exact (Arithmetic.cpp).
    std::vector<Token> ExactArithmetic(std::vector<Token> t, int depth = 0);
    // CAST and CONVERT of money to a character type as calls of sandbox_moneytext with the style,
    // of datetime and smalldatetime without a style as sandbox_to_style(value, 0).
    std::vector<Token> ValuesAsText(std::vector<Token> t);
    // CAST and CONVERT to binary, and binary to hexadecimal text, by the value's own type.
    std::vector<Token> BinaryCasts(std::vector<Token> t);
    // A UNION of variants of different base types: each value tagged with its own (Value.h), in
    // the query's result and in its derived tables and common table expressions.
    std::vector<Token> VariantUnion(std::vector<Token> t);
    // Variants read as their values where they are compared or converted: a value tagged with its
    // base type (a sql_variant column's decimal or date, a UNION's) as sandbox_plain(value).
    std::vector<Token> VariantValues(std::vector<Token> t);
    // Whether the database has a sql_variant column.
    bool HasVariantColumns();
    // Exact decimals reached through a function, CASE or a derived table's column compared as numbers.
    std::vector<Token> ExactComparisons(std::vector<Token> t);
    // A condition comparing an integer column with a string that is no integer raises 245.
    std::vector<Token> IntegerComparisons(std::vector<Token> t);
    // Strings compared where neither is a column compare as the default collation does.
    std::vector<Token> TextComparisons(std::vector<Token> t);
    // A sql_variant variable takes the base type of the value assigned to it (expr, in the statement
    // whose tables name its columns), or decides by each value's storage class when it is not seen.
    void VariantTakesBase(Variable& v, const std::vector<Token>& expr, const std::vector<Token>& statement);
    // How values of expr (in the statement whose tables name its columns) assigned to the type are
    // written when the type is a character type: money and datetime take their style 0 (Store.cpp).
    TextForm TextFormInto(const SqlType& target, const std::vector<Token>& expr, const std::vector<Token>& statement);
    // The value a variable of the type takes: text read into a decimal or money as a column reads
    // it (235, 8114, 8115 when it does not convert), money and datetime as the form gives.
    // A string given to a date or time variable or parameter, in the type's stored form (241 when it is no date).
    SqlValue DateFromText(const SqlType& type, SqlValue v);
    SqlValue AssignedValue(const SqlType& type, SqlValue v, TextForm form, int line);
    bool CatalogColumnType(const std::string& column, SqlType& type);
    std::vector<std::string> describeTables_;
    // The derived tables and common table expressions of the query being described, whose columns
    // are typed from their own select lists (Describe.cpp); false when the column is not one of them.
    bool DerivedColumnType(const std::string& qualifier, const std::string& column, SqlType& type);
    std::vector<DerivedTable> derived_;
    int derivedDepth_ = 0;
    // Makes a statement's tables and derived tables the ones expressions are typed against
    // (InferExprType) until destroyed, also when the work in between fails.
    class StatementTablesInView {
    public:
        // With updateTarget, UPDATE's own table too (for its conditions; its SET list is no comparison).
        StatementTablesInView(Session& session, const std::vector<Token>& statement, bool updateTarget = false);
        ~StatementTablesInView();
        StatementTablesInView(const StatementTablesInView&) = delete;
        StatementTablesInView& operator=(const StatementTablesInView&) = delete;

    private:
        Session& session_;
        std::vector<std::string> tables_;
        std::vector<DerivedTable> derived_;
    };
    // The type of values from any of the expressions (CASE results, COALESCE arguments).
    SqlType MergedType(const std::vector<std::vector<Token>>& exprs, bool& named);
    SqlError TranslateError(int line);
    // SQLite's failures SQL Server words its own way (Errors.cpp); none for the others.
    std::optional<SqlError> ServerError(const std::string& msg, int line);
    void EnsureAttached(const std::string& db);

    // Output.
    void Done(std::uint16_t status, std::uint16_t cmd, std::uint64_t rows);
    void AssignDone(std::uint64_t rows);
    // "Null value is eliminated" once per statement, when an aggregate skipped a NULL.
    void WarnNullsEliminated(int line);
    bool nullSeen_ = false, nullWarned_ = false, ansiWarnings_ = true;
    bool xactAbort_ = false;  // SET XACT_ABORT
    // SET LANGUAGE, SET DATEFORMAT and SET DATEFIRST; false when the statement is none of them.
    bool SetDateOption(const std::vector<Token>& t, int line);
    std::string language_ = "us_english", dateOrder_ = "mdy";
    int dateFirst_ = 7, langId_ = 0;
    std::uint64_t donesSent_ = 0;
    void Info(int number, int state, int cls, const std::string& text, int line);
    void EmitError(const SqlError& e);
    static bool EndsStatement(const SqlError& e);
    void CheckAttention();

    // CROSS APPLY, OUTER APPLY and STRING_SPLIT as SQLite table-valued functions (Apply.cpp).
    std::vector<Token> RewriteApply(std::vector<Token> t, int line);
    void RegisterTableFunctions();
    // FOR XML PATH and RAW, FOR JSON PATH and AUTO as SQL functions over the query's rows (ForXml.cpp);
    // top tells whether the statement itself ends so, whose result SendForXml sends as SQL Server does.
    struct ForXmlAtTop {
        bool present = false;
        bool typed = false;
    };
    std::vector<Token> RewriteForXml(std::vector<Token> t, int line, ForXmlAtTop* top = nullptr);
    void SendForXml(sqlite3_stmt* st, int rc, std::vector<SqlColumn> cols, bool typed, int line);
    void RegisterXmlFunctions();
    friend struct XmlFunctions;
    // PIVOT and UNPIVOT as the derived tables they stand for (Pivot.cpp).
    std::vector<Token> RewritePivots(std::vector<Token> t, int line);
    // The virtual table of the source, created when missing; key tells sources apart.
    std::string TableFunction(const std::string& key, std::shared_ptr<struct TableSource> source, int line);
    std::map<std::string, std::shared_ptr<struct TableSource>> tableSources_;  // by virtual table name
    friend struct TableFunctions;

    // SQLite functions.
    void OpenHandle(const std::string& name);
    void RegisterFunctions();
    static void FnDispatch(sqlite3_context* ctx, int argc, sqlite3_value** argv);
    friend struct SessionFunctions;

    // Installation scripts (Scripts.cpp, Constraints.cpp): alias types, indexes per table, ALTER
    // TABLE constraints, identity, DROP DATABASE, permissions.
    bool ExecScriptStatement(const std::vector<Token>& t, int line);
    bool ExecSystemProcedure(const std::vector<Token>& t, int line);
    void ExecCreateTableScript(const std::vector<Token>& t, int line);
    void ExecCreateIndex(const std::vector<Token>& t, int line);
    void ExecDropIndex(const std::vector<Token>& t, int line);
    void ExecDropDatabase(const std::vector<Token>& t, int line);
    void ExecPermission(const std::vector<Token>& t, int line);
    bool ExecAlterTable(const std::vector<Token>& t, int line);
    void AddConstraint(const std::string& table, const std::vector<Token>& p, bool check, int line);
    void AddConstraintObject(const std::string& table, const std::string& name, const char* xtype, const std::string& text);
    void AddAliasType(const std::string& name, std::string base, bool nullable, int line);
    // The table's text as created (without constraints added later), kept from its first change on.
    std::string TableBase(const std::string& table);
    void RewriteTableDefinition(const std::string& table, int line);
    void LiftCreateConstraints(const std::string& table);
    void SetColumnDefault(const std::string& table, const std::string& column, const std::vector<Token>& expr, int line);
    void DropColumnDefault(const std::string& table, const std::string& name);
    std::vector<std::vector<std::string>> KeysOf(const std::string& table);
    void ForgetTable(const std::string& table);
    struct IdentityStep {
        std::string column;
        std::int64_t increment = 1, current = 0, before = 0;
    };
    bool IdentityStepOf(const std::string& table, IdentityStep& step);
    // IDENT_SEED, IDENT_INCR and IDENT_CURRENT of a table (its stored name); none without an identity.
    struct IdentityInfo {
        std::int64_t seed = 1, increment = 1, current = 1;
    };
    std::optional<IdentityInfo> IdentityOf(const std::string& table);
    void ExecDbcc(const std::vector<Token>& t, int line);
    void RenumberIdentity(const std::string& table, const IdentityStep& step, const std::string& captured);
    bool PrincipalExists(const std::string& name);
    void AddPrincipal(const std::string& name, bool role, int line);
    std::vector<Token> RuleOrDefaultExpr(bool rule, const std::string& name, int line);
    void BindRuleOrDefault(bool rule, const std::string& name, const std::string& target, int line);
    std::string TableNamed(const std::string& name);
    void SetIdentityInsert(const std::vector<Token>& t, int line);
    std::vector<Token> PrepareInsert(std::vector<Token> t, int line);
    // Values of INSERT and UPDATE converted to their columns' types (Store.cpp).
    std::vector<Token> ConvertStoredValues(std::vector<Token> t, int line);
    std::vector<std::pair<std::string, SqlType>> StoredColumns(const std::string& table);
    // What each INSERT, UPDATE and DELETE asks of its table's catalog, read once and kept while no
    // connection writes the catalog (TableFacts.cpp).
    struct TableFacts {
        std::string identity;  // the identity column, if any
        std::vector<std::pair<std::string, SqlType>> columns;
        std::vector<std::pair<std::string, std::string>> triggers;  // (name, source), in creation order
    };
    std::shared_ptr<const TableFacts> FactsOf(const std::string& table);
    void WatchCatalog();
    std::map<std::string, std::shared_ptr<const TableFacts>> facts_;
    std::uint64_t factsGeneration_ = 0;
    // INSERT ... VALUES statements prepared with their values as parameters (Query.cpp); given up
    // when the catalog changes.
    SqlStmt PrepareValues(const ValuesShape& shape, const std::string& sql, int line, bool& shared);
    StatementCache valuesCache_;
    std::uint64_t valuesGeneration_ = 0;
    bool catalogDirty_ = false;  // this connection's open transaction wrote the catalog
    void RegisterStoreFunction();
    void RegisterScriptFunctions();
    // Built-in functions of BuiltinFunctions.cpp, their result types, and the calls the translation
    // rewrites (TRY_CAST, TRY_CONVERT, PARSE, TRY_PARSE, TRIM(chars FROM s)).
    void RegisterBuiltinFunctions();
    bool BuiltinCallType(const std::vector<Token>& call, SqlType& type);
    std::vector<Token> BuiltinCalls(std::vector<Token> t);
    void CheckDatePart(const std::vector<Token>& t, size_t at, size_t close);
    friend struct Builtins;
    void RegisterSessionViews();
    // sys.indexes, sys.foreign_keys, sys.sql_modules and the other catalog views computed per query.
    void RegisterCatalogViews();
    std::vector<std::vector<SqlValue>> ConstraintViewRows(const std::string& view);
    // A prepared catalog lookup kept for the handle's life (each INSERT, UPDATE and DELETE asks).
    sqlite3_stmt* Cached(const char* sql);
    std::map<const char*, SqlStmt> cachedStmts_;
    std::string identityInsert_;  // the table with SET IDENTITY_INSERT ON, if any
    // Triggers (Triggers.cpp).
    void ExecDml(const std::vector<Token>& t, int line);
    // INSERT, UPDATE or DELETE without its OUTPUT clause, whose list (inserted.x as SQLite's RETURNING
    // names it: x) goes to output; refusals as SQL Server words them, and 40000 for OUTPUT INTO and
    // deleted.x of an UPDATE (Triggers.cpp).
    std::vector<Token> WithoutOutput(const std::vector<Token>& t, std::vector<Token>& output, int line);
    std::vector<Token> dmlOutput_;   // the RETURNING list of the DML statement being run
    std::vector<Token> describeAs_;  // a query whose list describes the rows of the statement run (OUTPUT)
    std::string ForeignKeyConflict(const std::string& verb, const std::string& table);
    // The name sys.foreign_keys gives the table's key that starts with the column (SystemProcs.cpp).
    std::string ForeignKeyName(const std::string& table, const std::string& column);
    std::int64_t sessionIdentity_ = 0;  // @@IDENTITY, when hasSessionIdentity_
    bool hasSessionIdentity_ = false;
    std::pair<std::string, std::string> dmlStatement_;  // (INSERT|UPDATE|DELETE, stored table name) while one runs
    bool RollbackInTrigger();
    std::string TriggerTable(const std::string& upperName) const;
    bool ColumnUpdated(const std::string& column) const;
    std::vector<std::vector<std::string>> triggerColumns_;  // per level: the columns its statement sets
    int triggerLevel_ = 0;
    bool triggerRolledBack_ = false;
    bool clientTranInTrigger_ = false;
    std::vector<std::string> insteadOfRunning_;  // tables and views whose INSTEAD OF trigger is running
    std::string dmlCountFrom_;  // the capture table an INSTEAD OF statement counts its rows from
    std::int64_t InsteadOfRows();

    Variable* FindVar(const std::string& upperName);
    std::string ResolveObjectName(const std::string& name) const;

    ServerState& server_;
    ResultSink& out_;
    std::function<bool()> attention_;
    sqlite3* db_ = nullptr;
    std::string dbName_;
    std::set<std::string> attached_;
    std::string user_ = "sa";
    int spid_;
    std::vector<Scope> scopes_;
    std::vector<CatchInfo> catches_;
    int tryDepth_ = 0;
    int procDepth_ = 0;
    int tranCount_ = 0;
    std::uint64_t tranId_ = 0;
    // The outermost transaction's name and the savepoints of the transaction, oldest first (SQLite
    // savepoints of the same names); both start afresh with each transaction.
    std::string tranName_;
    std::vector<std::string> savepoints_;
    bool nocount_ = false;
    bool fmtonly_ = false;
    long long textSize_ = 2147483647;
    std::string hostName_, appName_;
    std::vector<std::pair<std::string, std::string>> tempTables_;  // (database, stored name)
    std::int64_t rowcount_ = 0;
    int lastError_ = 0;
    long dropAfterRows_ = -1;
    unsigned attentionTick_ = 0;
    std::map<int, std::pair<std::string, std::string>> prepared_;  // handle -> (params, statement)
    int nextHandle_ = 0;
    std::map<std::string, SqlColumn> columnCache_;
    std::uint64_t columnCacheGeneration_ = 0;
    // Set while SQLite unwinds from a function or progress callback that could not throw through it.
    std::exception_ptr pending_;
    bool clientGone_ = false;
};
