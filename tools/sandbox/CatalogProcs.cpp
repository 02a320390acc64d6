// The ODBC catalog procedures drivers call: sp_tables, sp_columns and sp_datatype_info, answered
// from the catalog views as queries of their own.
#include "Session.h"

namespace {

// ODBC's type code of a SQL Server type (SQLColumns and SQLGetTypeInfo).
const char* const kOdbcType =
    "CASE %s WHEN 'int' THEN 4 WHEN 'bigint' THEN -5 WHEN 'smallint' THEN 5 WHEN 'tinyint' THEN -6 WHEN 'bit' THEN -7"
    " WHEN 'decimal' THEN 3 WHEN 'numeric' THEN 2 WHEN 'money' THEN 3 WHEN 'smallmoney' THEN 3 WHEN 'float' THEN 6"
    " WHEN 'real' THEN 7 WHEN 'datetime' THEN 11 WHEN 'smalldatetime' THEN 11 WHEN 'date' THEN -9 WHEN 'time' THEN -154"
    " WHEN 'datetime2' THEN -9 WHEN 'datetimeoffset' THEN -155 WHEN 'char' THEN 1 WHEN 'varchar' THEN 12 WHEN 'nchar' THEN -8"
    " WHEN 'nvarchar' THEN -9 WHEN 'text' THEN -1 WHEN 'ntext' THEN -10 WHEN 'binary' THEN -2 WHEN 'varbinary' THEN -3"
    " WHEN 'image' THEN -4 WHEN 'uniqueidentifier' THEN -11 WHEN 'xml' THEN -152 WHEN 'sql_variant' THEN -150 ELSE 12 END";

std::string OdbcType(const std::string& column) {
    std::string s = kOdbcType;
    s.replace(s.find("%s"), 2, column);
    return s;
}

}  // namespace

SqlValue ProcedureArgument(const std::vector<std::pair<std::string, SqlValue>>& args, const char* name, size_t position) {
    for (const auto& [n, v] : args)
        if (SameNoCase(n, name)) return v;
    size_t k = 0;
    for (const auto& [n, v] : args) {
        if (!n.empty()) continue;
        if (k++ == position) return v;
    }
    return SqlValue{};
}

bool Session::ExecCatalogProcedure(const std::string& upper, const std::vector<std::pair<std::string, SqlValue>>& args, int line) {
    if (ExecHelpProcedure(upper, args)) return true;
    if (upper != "SP_TABLES" && upper != "SP_COLUMNS" && upper != "SP_DATATYPE_INFO" && upper != "SP_DATATYPE_INFO_100") return false;
    auto arg = [&](const char* name, size_t position) { return ProcedureArgument(args, name, position); };
    std::map<std::string, Variable> params;
    auto param = [&](const char* name, const SqlValue& v) { params[name] = Variable{SqlType::Of(SqlType::NVarChar, 4000), v}; };
    std::string sql;
    if (upper == "SP_TABLES") {
        param("@NAME", arg("@table_name", 0));
        param("@TYPES", arg("@table_type", 3));
        sql = "select cast(db_name() as nvarchar(128)) as TABLE_QUALIFIER, cast('dbo' as nvarchar(128)) as TABLE_OWNER,"
              " cast(name as nvarchar(128)) as TABLE_NAME, cast(case xtype when 'U' then 'TABLE' else 'VIEW' end as varchar(32)) as TABLE_TYPE,"
              " cast(null as varchar(254)) as REMARKS from sysobjects where xtype in ('U', 'V') and name not like '#%'"
              " and (@NAME is null or name like @NAME)"
              " and (@TYPES is null or charindex('''' + case xtype when 'U' then 'TABLE' else 'VIEW' end + '''', @TYPES) > 0"
              " or charindex(case xtype when 'U' then 'TABLE' else 'VIEW' end, @TYPES) > 0)"
              " order by TABLE_TYPE, TABLE_QUALIFIER, TABLE_OWNER, TABLE_NAME";
    } else if (upper == "SP_COLUMNS") {
        const SqlValue table = arg("@table_name", 0);
        if (table.type == SqlValue::Null)
            throw SqlError{201, 16, 4, "Procedure or function 'sp_columns' expects parameter '@table_name', which was not supplied.", line,
                           "", true};
        param("@NAME", table);
        param("@COLUMN", arg("@column_name", 3));
        sql = "select cast(TABLE_CATALOG as nvarchar(128)) as TABLE_QUALIFIER, cast(TABLE_SCHEMA as nvarchar(128)) as TABLE_OWNER,"
              " cast(TABLE_NAME as nvarchar(128)) as TABLE_NAME, cast(COLUMN_NAME as nvarchar(128)) as COLUMN_NAME,"
              " cast(" + OdbcType("DATA_TYPE") + " as smallint) as DATA_TYPE, cast(DATA_TYPE as nvarchar(128)) as TYPE_NAME,"
              " cast(coalesce(CHARACTER_MAXIMUM_LENGTH, NUMERIC_PRECISION, DATETIME_PRECISION, 0) as int) as PRECISION,"
              " cast(coalesce(CHARACTER_OCTET_LENGTH, NUMERIC_PRECISION, 0) as int) as LENGTH,"
              " cast(NUMERIC_SCALE as smallint) as SCALE, cast(NUMERIC_PRECISION_RADIX as smallint) as RADIX,"
              " cast(case IS_NULLABLE when 'YES' then 1 else 0 end as smallint) as NULLABLE, cast(null as varchar(254)) as REMARKS,"
              " cast(COLUMN_DEFAULT as nvarchar(4000)) as COLUMN_DEF, cast(" + OdbcType("DATA_TYPE") + " as smallint) as SQL_DATA_TYPE,"
              " cast(null as smallint) as SQL_DATETIME_SUB, cast(CHARACTER_OCTET_LENGTH as int) as CHAR_OCTET_LENGTH,"
              " cast(ORDINAL_POSITION as int) as ORDINAL_POSITION, cast(IS_NULLABLE as varchar(254)) as IS_NULLABLE,"
              " cast(0 as tinyint) as SS_DATA_TYPE from information_schema.columns where TABLE_NAME like @NAME"
              " and (@COLUMN is null or COLUMN_NAME like @COLUMN) order by TABLE_QUALIFIER, TABLE_OWNER, TABLE_NAME, ORDINAL_POSITION";
    } else {
        params["@TYPE"] = Variable{SqlType::Of(SqlType::Int), arg("@data_type", 0)};
        sql = "select cast(column1 as nvarchar(128)) as TYPE_NAME, cast(" + OdbcType("column1") +
              " as smallint) as DATA_TYPE, cast(column2 as int) as PRECISION, cast(column3 as varchar(32)) as LITERAL_PREFIX,"
              " cast(case when column3 in ('''', 'N''') then '''' end as varchar(32)) as LITERAL_SUFFIX, cast(column4 as varchar(32)) as CREATE_PARAMS,"
              " cast(1 as smallint) as NULLABLE, cast(case when column3 is null then 0 else 0 end as smallint) as CASE_SENSITIVE,"
              " cast(case when column3 is null then 2 else 3 end as smallint) as SEARCHABLE,"
              " cast(case when column3 is null then 0 end as smallint) as UNSIGNED_ATTRIBUTE,"
              " cast(case when column1 in ('money', 'smallmoney') then 1 else 0 end as smallint) as MONEY,"
              " cast(case when column3 is null then 0 end as smallint) as AUTO_INCREMENT, cast(column1 as nvarchar(128)) as LOCAL_TYPE_NAME,"
              " cast(column5 as smallint) as MINIMUM_SCALE, cast(column6 as smallint) as MAXIMUM_SCALE,"
              " cast(" + OdbcType("column1") + " as smallint) as SQL_DATA_TYPE, cast(null as smallint) as SQL_DATETIME_SUB,"
              " cast(case when column3 is null then 10 end as int) as NUM_PREC_RADIX, cast(null as smallint) as INTERVAL_PRECISION,"
              " cast(0 as smallint) as USERTYPE from (values"
              " ('bit', 1, null, null, null, null), ('tinyint', 3, null, null, null, null), ('bigint', 19, null, null, null, null),"
              " ('image', 2147483647, '0x', null, null, null), ('varbinary', 8000, '0x', 'max length', null, null),"
              " ('binary', 8000, '0x', 'length', null, null), ('text', 2147483647, '''', null, null, null),"
              " ('char', 8000, '''', 'length', null, null), ('numeric', 38, null, 'precision,scale', 0, 38),"
              " ('decimal', 38, null, 'precision,scale', 0, 38), ('money', 19, '$', null, 4, 4), ('smallmoney', 10, '$', null, 4, 4),"
              " ('int', 10, null, null, null, null), ('smallint', 5, null, null, null, null), ('float', 15, null, null, null, null),"
              " ('real', 7, null, null, null, null), ('varchar', 8000, '''', 'max length', null, null),"
              " ('datetime', 23, '''', null, 3, 3), ('smalldatetime', 16, '''', null, 0, 0), ('date', 10, '''', null, null, null),"
              " ('nchar', 4000, 'N''', 'length', null, null), ('nvarchar', 4000, 'N''', 'max length', null, null),"
              " ('ntext', 1073741823, 'N''', null, null, null), ('uniqueidentifier', 36, '''', null, null, null)) t"
              " where @TYPE is null or " + OdbcType("column1") + " = @TYPE order by DATA_TYPE, TYPE_NAME";
    }
    RunText(sql, params, line);
    out_.ReturnStatus(0);
    out_.Done(procDepth_ > 0 ? DoneKind::InProcedure : DoneKind::Procedure, tranCount_ > 0 ? kDoneInXact : 0, 0, 0);
    return true;
}
