// Query clauses SQLite has no form of, through unixODBC and FreeTDS: each query's column names, the
// declared type of one column, every row, or the error SQL Server raises.
#include "OdbcProbe.h"
#include "SandboxProcess.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr int kSqlXml = -152;  // the driver's ODBC type of xml

struct Case {
    const char* sql;
    const char* names;  // column names joined by '|'; nullptr when an error is expected
    const char* rows;   // values joined by '|', rows by ';'
    int column;         // the column whose type is checked; -1 for none
    int sqlType;
    long long size;  // -1 for any
    long error;      // native error number expected; 0 for none
};

std::string Joined(const std::vector<std::string>& v, char sep) {
    std::string s;
    for (size_t i = 0; i < v.size(); ++i) s += (i ? std::string(1, sep) : "") + v[i];
    return s;
}

void RunCases(OdbcProbe& c, const Case* begin, const Case* end) {
    for (const Case* k = begin; k != end; ++k) {
        const OdbcRun run = c.Run(k->sql);
        std::string diag;
        for (const auto& d : run.diags) diag += " [" + std::to_string(d.native) + "] " + d.text;
        if (k->error != 0) {
            EXPECT_TRUE(run.HasDiag(k->error)) << k->sql << diag;
            EXPECT_TRUE(run.results.empty() || run.results.back().rows.empty()) << k->sql;
            continue;
        }
        ASSERT_FALSE(run.results.empty()) << k->sql << diag;
        const OdbcResult& r = run.results.back();
        EXPECT_EQ(Joined(r.names, '|'), k->names) << k->sql;
        std::vector<std::string> rows;
        for (const auto& row : r.rows) rows.push_back(Joined(row, '|'));
        EXPECT_EQ(Joined(rows, ';'), k->rows) << k->sql << diag;
        if (k->column >= 0) {
            EXPECT_EQ(r.types.at(static_cast<size_t>(k->column)), k->sqlType) << k->sql;
            if (k->size >= 0) {
                EXPECT_EQ(r.sizes.at(static_cast<size_t>(k->column)), k->size) << k->sql;
            }
        }
    }
}

const char* const kFixture =
    "create table cust (id int primary key, name nvarchar(30) not null, tags varchar(40) null) "
    "insert into cust values (1, N'Ann', 'red,blue'), (2, N'Bob', null), (3, N'Cy', '') "
    "create table ord (id int primary key, cust int not null, total decimal(10,2) not null) "
    "insert into ord values (10, 1, 5.50), (11, 1, 7.25), (12, 1, 1.00), (20, 3, 2.00)";

// The derived table runs once per outer row: an aggregate over no rows still gives its row, TOP and
// ORDER BY pick per outer row, and OUTER APPLY keeps the rows that match nothing with NULLs.
const Case kApply[] = {
    {"select c.id, x.n from cust c cross apply (select count(*) n from ord o where o.cust = c.id) x order by c.id", "id|n", "1|3;2|0;3|1",
     1, SQL_INTEGER, -1, 0},
    {"select c.id, x.id, x.total from cust c outer apply (select top 2 o.id, o.total from ord o where o.cust = c.id order by o.total desc) "
     "x "
     "order by c.id, x.total desc",
     "id|id|total", "1|11|7.25;1|10|5.50;2|<NULL>|<NULL>;3|20|2.00", 2, SQL_NUMERIC, 10, 0},
    {"select c.name, x.total from cust c cross apply (select top 1 total from ord o where o.cust = c.id order by total) x order by c.name",
     "name|total", "Ann|1.00;Cy|2.00", 0, SQL_WVARCHAR, 30, 0},
    {"select * from cust c cross apply (select top 1 o.id as oid from ord o where o.cust = c.id order by o.id desc) x order by c.id",
     "id|name|tags|oid", "1|Ann|red,blue|12;3|Cy||20", 3, SQL_INTEGER, -1, 0},
    // A VALUES list of the outer row's columns (the unpivoting idiom).
    {"select c.id, v.k from cust c cross apply (values (c.id * 10), (null)) v(k) where c.id < 3 order by c.id, v.k", "id|k",
     "1|<NULL>;1|10;2|<NULL>;2|20", -1, 0, -1, 0},
    // One APPLY reads another's columns; variables of the batch are seen inside.
    {"select c.id, y.m from cust c cross apply (select count(*) n from ord o where o.cust = c.id) x cross apply (select x.n * 2 as m) y "
     "order by c.id",
     "id|m", "1|6;2|0;3|2", -1, 0, -1, 0},
    {"declare @least decimal(10,2) = 5 select c.id, x.n from cust c "
     "cross apply (select count(*) n from ord o where o.cust = c.id and o.total > @least) x order by c.id",
     "id|n", "1|2;2|0;3|0", -1, 0, -1, 0},
    // Inside a subquery, the derived table reads the column of the query around it.
    {"select c.id, (select max(x.n) from (select 1 k) q cross apply (select count(*) n from ord o where o.cust = c.id) x) as m "
     "from cust c order by c.id",
     "id|m", "1|3;2|0;3|1", -1, 0, -1, 0},
    // An APPLY inside one reads the outer row of the one around it.
    {"select c.id, y.v from cust c cross apply (select top 1 x.id v from (select 1 k) q "
     "cross apply (select top 1 o.id from ord o where o.cust = c.id order by o.id desc) x) y order by c.id",
     "id|v", "1|12;3|20", -1, 0, -1, 0},
    // Its exact decimals sort as numbers, as a derived table's do.
    {"select c.id, x.s from cust c cross apply (select sum(o.total) as s from ord o where o.cust = c.id) x where x.s is not null "
     "order by x.s desc",
     "id|s", "1|13.75;3|2.00", -1, 0, -1, 0},
    {"select x.s from (select total * 2 as s from ord) x order by s desc", "s", "14.50;11.00;4.00;2.00", -1, 0, -1, 0},
    // A column none of its own tables has is the outer query's, also without its table's name.
    {"select c.name, x.id from cust c cross apply (select top 1 o.id from ord o where o.cust = c.id and name = N'Ann' order by o.id) x",
     "name|id", "Ann|10", -1, 0, -1, 0},
    {"select c.name, x.id from cust c cross apply (select top 1 o.id from ord o where o.cust = c.id and nosuch = 1) x", nullptr, nullptr,
     -1, 0, -1, 207},
    // Its own alias hides the outer one of the same name.
    {"select c.id, x.n from cust c cross apply (select count(*) n from cust c where c.id > 1) x order by c.id", "id|n", "1|2;2|2;3|2", -1,
     0, -1, 0},
    // Each column needs a name, once; a column list must name them all.
    {"select * from cust c cross apply (select count(*) from ord o where o.cust = c.id) x", nullptr, nullptr, -1, 0, -1, 8155},
    {"select * from cust c cross apply (values (1)) x", nullptr, nullptr, -1, 0, -1, 8155},
    {"select * from cust c cross apply (select 1 a, 2 a) x", nullptr, nullptr, -1, 0, -1, 8156},
    {"select * from cust c cross apply (select 1 a, 2 b) x(a)", nullptr, nullptr, -1, 0, -1, 8158},
    // No table-valued functions of the database exist here.
    {"select * from cust c cross apply dbo.orders_of(c.id) x", nullptr, nullptr, -1, 0, -1, 208},
    {"create view vapply as select c.id, x.n from cust c cross apply (select count(*) n from ord o where o.cust = c.id) x", nullptr,
     nullptr, -1, 0, -1, 40000},
};

// STRING_SPLIT: value is the string's own type, empty pieces are kept, a NULL string gives no rows.
const Case kSplit[] = {
    {"select value from string_split('a,b,,c', ',')", "value", "a;b;;c", 0, SQL_VARCHAR, 6, 0},
    {"select * from string_split(N'x y', ' ', 1)", "value|ordinal", "x|1;y|2", 0, SQL_WVARCHAR, 3, 0},
    {"select * from string_split(N'x y', ' ', 1)", "value|ordinal", "x|1;y|2", 1, SQL_BIGINT, -1, 0},
    {"select value from string_split('a-b', N'-')", "value", "a;b", 0, SQL_WVARCHAR, 3, 0},
    {"select count(*) as n from string_split(null, ',')", "n", "0", -1, 0, -1, 0},
    {"select c.id, s.value from cust c cross apply string_split(c.tags, ',') s order by c.id, s.value", "id|value", "1|blue;1|red;3|", 1,
     SQL_VARCHAR, 40, 0},
    {"select c.id, s.value from cust c outer apply string_split(c.tags, ',') s order by c.id, s.value", "id|value",
     "1|blue;1|red;2|<NULL>;3|", -1, 0, -1, 0},
    {"declare @s nvarchar(max) = N'p;q' select value, ordinal from string_split(@s, ';', 1) order by ordinal desc", "value|ordinal",
     "q|2;p|1", -1, 0, -1, 0},
    // The separator is one character; enable_ordinal a constant; the string a string.
    {"select value from string_split('a,b', ',,')", nullptr, nullptr, -1, 0, -1, 214},
    {"declare @sep varchar(5) = '' select value from string_split('a,b', @sep)", nullptr, nullptr, -1, 0, -1, 214},
    {"declare @o int = 1 select value from string_split('a,b', ',', @o)", nullptr, nullptr, -1, 0, -1, 8748},
    {"select value from string_split('a,b', ',', 2)", nullptr, nullptr, -1, 0, -1, 8748},
    {"select value from string_split(12, ',')", nullptr, nullptr, -1, 0, -1, 8116},
};

// ROLLUP, CUBE and GROUPING SETS: one group per grouping set, what a set leaves out is NULL and
// GROUPING says so; a grand total over no rows is still a row.
const Case kGrouping[] = {
    {"select cust, sum(total) as s, count(*) as n from ord group by rollup(cust) order by cust", "cust|s|n",
     "<NULL>|15.75|4;1|13.75|3;3|2.00|1", 1, SQL_NUMERIC, 38, 0},
    {"select c.name, o.cust, count(*) n, grouping(c.name) g, grouping_id(c.name, o.cust) gid from ord o join cust c on c.id = o.cust "
     "group by c.name, o.cust with rollup order by gid, name",
     "name|cust|n|g|gid", "Ann|1|3|0|0;Cy|3|1|0|0;Ann|<NULL>|3|0|1;Cy|<NULL>|1|0|1;<NULL>|<NULL>|4|1|3", 3, SQL_TINYINT, -1, 0},
    {"select cust, case when total > 3 then 'big' else 'small' end as size, count(*) n from ord "
     "group by cube(cust, case when total > 3 then 'big' else 'small' end) order by cust, size",
     "cust|size|n", "<NULL>|<NULL>|4;<NULL>|big|2;<NULL>|small|2;1|<NULL>|3;1|big|2;1|small|1;3|<NULL>|1;3|small|1", -1, 0, -1, 0},
    {"select cust, count(*) n from ord where total > 100 group by grouping sets ((cust), ())", "cust|n", "<NULL>|0", 1, SQL_INTEGER, -1, 0},
    {"select cust, count(*) n from ord group by rollup(cust) having count(*) > 1 order by n", "cust|n", "1|3;<NULL>|4", -1, 0, -1, 0},
    {"select cust, sum(total) s from ord group by rollup(cust) order by s desc", "cust|s", "<NULL>|15.75;1|13.75;3|2.00", -1, 0, -1, 0},
    {"select top 1 cust, count(*) n from ord group by cust, rollup(id) order by n desc, cust", "cust|n", "1|3", -1, 0, -1, 0},
    {"select count(*) as groups from (select cust, sum(total) s from ord group by rollup(cust)) x", "groups", "3", -1, 0, -1, 0},
    // A subquery of the list reads its own tables' columns, which no grouping set leaves out.
    {"select cust, (select ',' + name from cust c2 where c2.id = o.cust for xml path('')) as who, count(*) n from ord o "
     "group by rollup(cust) having grouping(cust) = 0 order by cust",
     "cust|who|n", "1|,Ann|3;3|,Cy|1", 1, SQL_WVARCHAR, -1, 0},
    // The order may name what the select list does not hold; with DISTINCT it may not.
    {"select cust, count(*) n from ord group by rollup(cust) order by grouping(cust) desc, cust desc", "cust|n", "<NULL>|4;3|1;1|3", -1, 0,
     -1, 0},
    {"select distinct cust from ord group by rollup(cust) order by grouping(cust)", nullptr, nullptr, -1, 0, -1, 145},
    {"select cust from ord group by rollup(cust) order by 2", nullptr, nullptr, -1, 0, -1, 108},
    // GROUPING of what is not grouped.
    {"select grouping(total) from ord group by rollup(cust)", nullptr, nullptr, -1, 0, -1, 8161},
};

// PIVOT groups by the source's other columns with one aggregate per value; UNPIVOT gives a row per
// column that is not NULL, the column's name as sysname.
const Case kPivot[] = {
    {"select * from (select c.name, o.total from ord o join cust c on c.id = o.cust) s pivot (count(total) for name in ([Ann], [Bob], "
     "[Cy])) p",
     "Ann|Bob|Cy", "3|0|1", 1, SQL_INTEGER, -1, 0},
    {"select * from (select cust, id, total from ord) s pivot (sum(total) for cust in ([1], [3])) as p order by id", "id|1|3",
     "10|5.50|<NULL>;11|7.25|<NULL>;12|1.00|<NULL>;20|<NULL>|2.00", 1, SQL_NUMERIC, 38, 0},
    {"select p.[2], p.[1] from (select 1 k, 'a' v union all select 2, 'bb') s pivot (max(v) for k in ([1], [2], [3])) p", "2|1", "bb|a", 0,
     SQL_VARCHAR, 2, 0},
    {"select * from (select cast(total as int) as t, '2' + '0' as year from ord) s pivot (sum(t) for year in ([20], [21])) p", "20|21",
     "15|<NULL>", 0, SQL_INTEGER, -1, 0},
    {"select id, col, val from (select 1 id, 10 a, null b, 30 c union all select 2, null, null, null) s unpivot (val for col in (a, b, c)) "
     "u "
     "order by id, col",
     "id|col|val", "1|a|10;1|c|30", 1, SQL_WVARCHAR, 128, 0},
    {"select * from ord o join cust c on c.id = o.cust pivot (sum(total) for name in ([Ann])) p", nullptr, nullptr, -1, 0, -1, 40000},
    {"select * from ord pivot (sum(amount) for cust in ([1])) p", nullptr, nullptr, -1, 0, -1, 207},
    {"select * from cust unpivot (v for c in (name, nope)) u", nullptr, nullptr, -1, 0, -1, 207},
};

// FOR XML: in a subquery a string (NULL for no rows), escaped as XML; at the top of a statement one
// column of SQL Server's name for it.
const Case kForXml[] = {
    {"select substring((select ',' + name from cust order by id for xml path('')), 2, 100) as names", "names", "Ann,Bob,Cy", -1, 0, -1, 0},
    {"select c.id, (select ';' + cast(o.id as varchar(5)) from ord o where o.cust = c.id order by o.id desc for xml path('')) as ids "
     "from cust c order by c.id",
     "id|ids", "1|;12;11;10;2|<NULL>;3|;20", -1, 0, -1, 0},
    {"select (select 'a<b & c>\"' + name from cust where id = 1 for xml path('')) as v", "v", "a&lt;b &amp; c&gt;\"Ann", -1, 0, -1, 0},
    {"select (select name + '&' from cust order by id for xml path(''), type).value('.', 'nvarchar(max)') as v", "v", "Ann&Bob&Cy&", -1, 0,
     -1, 0},
    {"select id as '@id', name, tags from cust order by id for xml path('c'), root('list')", "XML_F52E2B61-18A1-11d1-B105-00805F49916B",
     "<list><c id=\"1\"><name>Ann</name><tags>red,blue</tags></c><c id=\"2\"><name>Bob</name></c><c id=\"3\"><name>Cy</name><tags></tags>"
     "</c></list>",
     0, SQL_WLONGVARCHAR, -1, 0},
    {"select id, name from cust where id < 3 order by id desc for xml raw", "XML_F52E2B61-18A1-11d1-B105-00805F49916B",
     "<row id=\"2\" name=\"Bob\"/><row id=\"1\" name=\"Ann\"/>", -1, 0, -1, 0},
    {"select o.id, o.total, (select c.name from cust c where c.id = o.cust for xml path(''), type) as who from ord o where o.id = 20 "
     "for xml path('o')",
     "XML_F52E2B61-18A1-11d1-B105-00805F49916B", "<o><id>20</id><total>2.00</total><who><name>Cy</name></who></o>", -1, 0, -1, 0},
    {"select id from cust where id = 1 for xml path('c'), type", "XML_F52E2B61-18A1-11d1-B105-00805F49916B", "<c><id>1</id></c>", 0,
     kSqlXml, -1, 0},
    {"select id from cust where id > 9 for xml path('r')", "XML_F52E2B61-18A1-11d1-B105-00805F49916B", "", -1, 0, -1, 0},
    {"select 'a' + char(1) as v for xml path('')", nullptr, nullptr, -1, 0, -1, 6841},
    {"select id as x, name as '@n' from cust for xml path('r')", nullptr, nullptr, -1, 0, -1, 6852},
    {"select id as 'a/b' from cust for xml path('r')", nullptr, nullptr, -1, 0, -1, 40000},
    {"select id from cust for xml auto", nullptr, nullptr, -1, 0, -1, 40000},
};

// FOR JSON: dotted names nest, NULLs are left out unless asked for, numbers, bits and nested FOR JSON
// stay unquoted.
const Case kForJson[] = {
    {"select id, name as 'who.name', tags as 'who.tags' from cust order by id for json path", "JSON_F52E2B61-18A1-11d1-B105-00805F49916B",
     "[{\"id\":1,\"who\":{\"name\":\"Ann\",\"tags\":\"red,blue\"}},{\"id\":2,\"who\":{\"name\":\"Bob\"}},"
     "{\"id\":3,\"who\":{\"name\":\"Cy\",\"tags\":\"\"}}]",
     0, SQL_WLONGVARCHAR, -1, 0},
    {"select id, total, cast(1 as bit) as ok from ord where id = 10 for json path, without_array_wrapper",
     "JSON_F52E2B61-18A1-11d1-B105-00805F49916B", "{\"id\":10,\"total\":5.50,\"ok\":true}", -1, 0, -1, 0},
    {"select c.id, (select o.id from ord o where o.cust = c.id order by o.id for json path) as orders from cust c where c.id < 3 "
     "order by c.id for json path, root('customers'), include_null_values",
     "JSON_F52E2B61-18A1-11d1-B105-00805F49916B",
     "{\"customers\":[{\"id\":1,\"orders\":[{\"id\":10},{\"id\":11},{\"id\":12}]},{\"id\":2,\"orders\":null}]}", -1, 0, -1, 0},
    {"select 'a/b\"c\\' + char(10) as s for json auto", "JSON_F52E2B61-18A1-11d1-B105-00805F49916B", "[{\"s\":\"a\\/b\\\"c\\\\\\n\"}]", -1,
     0, -1, 0},
    {"select (select id from cust where id > 9 for json path) as v", "v", "<NULL>", 0, SQL_WVARCHAR, -1, 0},
    {"select count(*) from cust for json path", nullptr, nullptr, -1, 0, -1, 13605},
    {"select id as a, name as 'a.b' from cust for json path", nullptr, nullptr, -1, 0, -1, 13601},
    {"select o.id, c.name from ord o join cust c on c.id = o.cust for json auto", nullptr, nullptr, -1, 0, -1, 40000},
};

class SandboxQueryForms : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new SandboxProcess(false); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(c_.Connect(server_->OdbcConnectionString()));
        const OdbcRun fixture = c_.Run(std::string("if object_id('cust') is null begin ") + kFixture + " end");
        ASSERT_TRUE(fixture.ok) << (fixture.diags.empty() ? "" : fixture.diags[0].text);
    }
    static SandboxProcess* server_;
    OdbcProbe c_;
};
SandboxProcess* SandboxQueryForms::server_ = nullptr;

TEST_F(SandboxQueryForms, CrossAndOuterApply) { RunCases(c_, std::begin(kApply), std::end(kApply)); }

TEST_F(SandboxQueryForms, StringSplit) { RunCases(c_, std::begin(kSplit), std::end(kSplit)); }

TEST_F(SandboxQueryForms, GroupingSets) { RunCases(c_, std::begin(kGrouping), std::end(kGrouping)); }

TEST_F(SandboxQueryForms, PivotAndUnpivot) { RunCases(c_, std::begin(kPivot), std::end(kPivot)); }

TEST_F(SandboxQueryForms, ForXml) { RunCases(c_, std::begin(kForXml), std::end(kForXml)); }

TEST_F(SandboxQueryForms, ForJson) { RunCases(c_, std::begin(kForJson), std::end(kForJson)); }

// A column that ROLLUP or OUTER APPLY can leave NULL says it allows NULL, though its table's column does not.
TEST_F(SandboxQueryForms, ColumnsMadeNullAreNullable) {
    for (const char* sql : {"select cust, count(*) as n from ord group by rollup(cust)",
                            "select c.id, x.cust from cust c outer apply (select top 1 o.cust from ord o where o.cust = c.id) x"}) {
        const OdbcRun run = c_.Run(sql);
        ASSERT_FALSE(run.results.empty()) << sql;
        const auto& nullables = run.results.back().nullables;
        ASSERT_EQ(nullables.size(), 2u) << sql;
        EXPECT_EQ(nullables[0], std::string(sql).find("rollup") != std::string::npos ? SQL_NULLABLE : SQL_NO_NULLS) << sql;
        EXPECT_EQ(nullables[1], SQL_NULLABLE) << sql;
    }
}

// A column whose type the stand-in cannot see and whose first value is NULL keeps the text of later rows.
TEST_F(SandboxQueryForms, UnseenTypeAfterNullKeepsText) {
    const OdbcRun run = c_.Run("select (select top 1 name from cust where id = k) + '' as n from (values (0), (1)) t(k) order by k");
    ASSERT_FALSE(run.results.empty());
    ASSERT_EQ(run.results.back().rows.size(), 2u);
    EXPECT_EQ(run.results.back().rows[0].at(0), "<NULL>");
    EXPECT_EQ(run.results.back().rows[1].at(0), "Ann");
}

// A long XML result comes in rows of 2033 characters, which together are the whole.
TEST_F(SandboxQueryForms, ForXmlResultInRowsOf2033Characters) {
    const OdbcRun run = c_.Run("select replicate(cast(N'\u00e9' as nvarchar(max)), 5000) as v for xml path('')");
    ASSERT_EQ(run.results.size(), 1u) << (run.diags.empty() ? "" : run.diags[0].text);
    const auto& rows = run.results[0].rows;
    ASSERT_EQ(rows.size(), 3u);
    std::string whole;
    for (const auto& r : rows) whole += r.at(0);
    std::string expected = "<v>";
    for (int i = 0; i < 5000; ++i) expected += "\u00e9";
    expected += "</v>";
    EXPECT_EQ(whole, expected);
    EXPECT_EQ(rows[0].at(0).size(), 3 + 2030 * 2u);  // "<v>" and 2030 two-byte characters
}

}  // namespace
