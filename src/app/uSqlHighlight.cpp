#include "uSqlHighlight.h"

#include <Qsci/qsciscintilla.h>

namespace {

const char* const kReservedWords =
    "add all alter and any as asc authorization backup begin between break browse bulk by cascade case check "
    "checkpoint close clustered collate column commit compute constraint contains containstable continue "
    "create cross current cursor database dbcc deallocate declare default delete deny desc disk distinct "
    "distributed double drop dummy dump else end errlvl escape except exec execute exists exit fetch file "
    "fillfactor for foreign formsof freetext freetexttable from full function goto grant group having "
    "holdlock identity identitycol identity_insert if in inflectional index inner insert intersect into is "
    "isabout join key kill left like lineno load national nocheck nonclustered not null nullif of off offsets "
    "on open opendatasource openquery openrowset openxml option or order outer over percent plan precision "
    "primary print proc procedure public raiserror read readtext reconfigure references replication restore "
    "restrict return revoke right rollback rowcount rowguidcol rule save schema select session_user set "
    "setuser shutdown some statistics table textsize then to top tran transaction trigger truncate tsequal "
    "union unique update updatetext use user values varying view waitfor weight when where while with "
    "writetext";

const char* const kDataTypes =
    "bigint binary bit char character datetime dec decimal float image int integer money nchar ntext numeric "
    "nvarchar real rowversion smalldatetime smallint smallmoney sql_variant sysname text timestamp tinyint "
    "uniqueidentifier varbinary varchar";

const char* const kFunctions =
    "@@connections @@cpu_busy @@cursor_rows @@datefirst @@dbts @@error @@fetch_status @@identity @@idle "
    "@@io_busy @@langid @@language @@lock_timeout @@max_connections @@max_precision @@nestlevel @@options "
    "@@packet_errors @@pack_received @@pack_sent @@procid @@remserver @@rowcount @@servername @@servicename "
    "@@spid @@textsize @@timeticks @@total_errors @@total_read @@total_write @@trancount @@version abs acos "
    "app_name ascii asin atan atn2 avg binary_checksum cast ceiling charindex checksum checksum_agg coalesce "
    "collationproperty columnproperty col_length col_name convert cos cot count count_big current_date "
    "current_time current_timestamp current_user cursor_status databaseproperty databasepropertyex datalength "
    "dateadd datediff datename datepart day db_id db_name degrees difference exp filegroupproperty "
    "filegroup_id filegroup_name fileproperty file_id file_name floor fn_helpcollations "
    "fn_listextendedproperty fn_servershareddrives fn_trace_geteventinfo fn_trace_getfilterinfo "
    "fn_trace_getinfo fn_trace_gettable fn_virtualfilestats formatmessage fulltextcatalogproperty "
    "fulltextserviceproperty getansinull getdate getutcdate grouping has_dbaccess host_id host_name "
    "ident_current ident_incr ident_seed indexkey_property indexproperty index_col isdate isnull isnumeric "
    "is_member is_srvrolemember len log log10 lower ltrim max min month newid objectproperty object_id "
    "object_name parsename patindex permissions pi power quotename radians rand replace replicate reverse "
    "round rowcount_big rtrim scope_identity serverproperty sessionproperty sign sin soundex space "
    "sql_variant_property sqrt square stats_date stdev stdevp str stuff substring sum suser_sid suser_sname "
    "system_user tan textptr textvalid typeproperty unicode upper user_id user_name var varp year";

bool IsWordStart(QChar c) { return c.isLetter() || c == QLatin1Char('_') || c == QLatin1Char('#'); }
bool IsWordChar(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('#') || c == QLatin1Char('$') || c == QLatin1Char('@');
}
bool IsSymbol(QChar c) { return QStringLiteral("+-*/%=<>!&|^~(),.;:[]{}").contains(c); }

}  // namespace

TSqlWords::TSqlWords() {
    for (const char* list : {kReservedWords, kDataTypes, kFunctions}) {
        for (const QString& w : QString::fromLatin1(list).split(QLatin1Char(' '), Qt::SkipEmptyParts)) Keywords.insert(w);
    }
}

bool TSqlWords::IsKeyword(const QString& lowerWord) const { return Keywords.contains(lowerWord); }

bool TSqlWords::IsTableName(const QString& lowerWord) const { return TableNames.contains(lowerWord); }

void TSqlWords::SetTableNames(const QStringList& names) {
    TableNames.clear();
    for (const QString& n : names) TableNames.insert(n.toLower());
}

void TSqlWords::AddTableNames(const QStringList& names) {
    for (const QString& n : names) TableNames.insert(n.toLower());
}

TSqlLineTokens TokenizeSqlLine(const QString& line, bool inComment, const TSqlWords& words) {
    TSqlLineTokens out;
    const int n = int(line.size());
    auto add = [&out](int start, int end, TSqlStyle style) {
        if (end <= start) return;
        if (!out.Tokens.empty() && out.Tokens.back().Style == style && style == ssDefault) {
            out.Tokens.back().Length += end - start;
        } else {
            out.Tokens.push_back({start, end - start, style});
        }
    };
    int i = 0;
    if (inComment) {
        const qsizetype close = line.indexOf(QStringLiteral("*/"));
        if (close < 0) {
            add(0, n, ssComment);
            out.EndsInComment = true;
            return out;
        }
        i = int(close) + 2;
        add(0, i, ssComment);
    }
    while (i < n) {
        const QChar c = line[i];
        const QChar next = i + 1 < n ? line[i + 1] : QChar();
        int j = i + 1;
        if (c == QLatin1Char('-') && next == QLatin1Char('-')) {
            j = n;
            while (j > i && (line[j - 1] == QLatin1Char('\n') || line[j - 1] == QLatin1Char('\r'))) --j;
            add(i, j, ssLineComment);
        } else if (c == QLatin1Char('/') && next == QLatin1Char('*')) {
            const qsizetype close = line.indexOf(QStringLiteral("*/"), i + 2);
            if (close < 0) {
                add(i, n, ssComment);
                out.EndsInComment = true;
                return out;
            }
            j = int(close) + 2;
            add(i, j, ssComment);
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            // A doubled quote stays inside; an unclosed string runs to the line end.
            while (j < n) {
                if (line[j] == c) {
                    if (j + 1 < n && line[j + 1] == c) {
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                ++j;
            }
            add(i, j, ssString);
        } else if (c.isDigit() || (c == QLatin1Char('.') && next.isDigit())) {
            while (j < n && (line[j].isLetterOrNumber() || line[j] == QLatin1Char('.'))) ++j;
            add(i, j, ssNumber);
        } else if (c == QLatin1Char('@')) {
            while (j < n && IsWordChar(line[j])) ++j;
            const bool system = next == QLatin1Char('@');
            add(i, j, system && words.IsKeyword(line.mid(i, j - i).toLower()) ? ssKeyword : ssVariable);
        } else if (IsWordStart(c)) {
            while (j < n && IsWordChar(line[j])) ++j;
            const QString word = line.mid(i, j - i).toLower();
            add(i, j, words.IsKeyword(word) ? ssKeyword : words.IsTableName(word) ? ssTableName : ssDefault);
        } else if (c == QLatin1Char('[')) {
            // A bracketed name is one identifier; it is a table name when the list holds it.
            const qsizetype close = line.indexOf(QLatin1Char(']'), i + 1);
            if (close > i && words.IsTableName(line.mid(i + 1, close - i - 1).toLower())) {
                j = int(close) + 1;
                add(i, j, ssTableName);
            } else {
                add(i, j, ssSymbol);
            }
        } else if (IsSymbol(c)) {
            add(i, j, ssSymbol);
        } else {
            add(i, j, ssDefault);
        }
        i = j;
    }
    return out;
}

TSqlLexer::TSqlLexer(const TSqlWords& words, QObject* parent) : QsciLexerCustom(parent), Words(words) {}

const char* TSqlLexer::language() const { return "SQL"; }

QString TSqlLexer::description(int style) const {
    switch (style) {
    case ssDefault:
        return QStringLiteral("Default");
    case ssComment:
        return QStringLiteral("Comment");
    case ssLineComment:
        return QStringLiteral("Line comment");
    case ssNumber:
        return QStringLiteral("Number");
    case ssString:
        return QStringLiteral("String");
    case ssVariable:
        return QStringLiteral("Variable");
    case ssSymbol:
        return QStringLiteral("Symbol");
    case ssKeyword:
        return QStringLiteral("Keyword");
    case ssTableName:
        return QStringLiteral("Table name");
    default:
        return QString();
    }
}

QColor TSqlLexer::defaultColor(int style) const {
    switch (style) {
    case ssComment:
    case ssLineComment:
        return QColor(128, 128, 0);
    case ssNumber:
        return QColor(0, 160, 128);
    case ssString:
        return QColor(0, 128, 0);
    case ssVariable:
        return QColor(255, 0, 0);
    default:
        return QColor(0, 0, 0);
    }
}

QFont TSqlLexer::defaultFont(int style) const {
    QFont f(QStringLiteral("Courier New"), 10);
    switch (style) {
    case ssComment:
    case ssLineComment:
        f.setItalic(true);
        break;
    case ssSymbol:
    case ssKeyword:
        f.setBold(true);
        break;
    case ssTableName:
        f.setUnderline(true);
        break;
    default:
        break;
    }
    return f;
}

void TSqlLexer::styleText(int start, int end) {
    QsciScintilla* ed = editor();
    if (!ed) return;
    const long lines = ed->SendScintilla(QsciScintilla::SCI_GETLINECOUNT);
    long line = ed->SendScintilla(QsciScintilla::SCI_LINEFROMPOSITION, static_cast<unsigned long>(start));
    const long lastLine = ed->SendScintilla(QsciScintilla::SCI_LINEFROMPOSITION, static_cast<unsigned long>(end));
    bool inComment = line > 0 && ed->SendScintilla(QsciScintilla::SCI_GETLINESTATE, static_cast<unsigned long>(line - 1)) == 1;
    startStyling(int(ed->SendScintilla(QsciScintilla::SCI_POSITIONFROMLINE, static_cast<unsigned long>(line))));
    // Past the requested range, carry on while a line's block-comment state changed, so an opened or
    // closed comment restyles the lines after it.
    for (; line < lines; ++line) {
        const QString text = ed->text(int(line));
        const TSqlLineTokens t = TokenizeSqlLine(text, inComment, Words);
        for (const TSqlToken& tok : t.Tokens) setStyling(int(text.mid(tok.Start, tok.Length).toUtf8().size()), tok.Style);
        const long old = ed->SendScintilla(QsciScintilla::SCI_GETLINESTATE, static_cast<unsigned long>(line));
        ed->SendScintilla(QsciScintilla::SCI_SETLINESTATE, static_cast<unsigned long>(line), long(t.EndsInComment));
        inComment = t.EndsInComment;
        if (line >= lastLine && old == long(t.EndsInComment)) break;
    }
}
