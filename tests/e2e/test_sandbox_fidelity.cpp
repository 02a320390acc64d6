// The stand-in answers as SQL Server does, seen through unixODBC and FreeTDS: the declared type of
// each result column, its value, and the error number where SQL Server raises one.
#include "OdbcProbe.h"
#include "SandboxProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace {

struct Case {
    const char* sql;
    int sqlType;        // ODBC type of the first column; 0 when an error is expected
    long long size;     // column size; -1 for any
    const char* value;  // first column of the first row
    long error;         // native error number; 0 for none
};

const Case kCases[] = {
    // A UNION is typed by its widest branch; CASE, COALESCE, ISNULL and IIF by all their results.
    {"select 'Ann' as v union all select 'Bob Smith'", SQL_VARCHAR, 9, "Ann", 0},
    // Through a derived table the column keeps the type its own select list gives it.
    {"select v from (select 'Ann' as v union all select 'Bob Smith') x order by v desc", SQL_VARCHAR, 9, "Bob Smith", 0},
    {"select N'a' as v union all select 'longer'", SQL_WVARCHAR, 6, "a", 0},
    {"select case when 1 = 1 then 'a' else 'longer text' end as v", SQL_VARCHAR, 11, "a", 0},
    {"select coalesce(null, 'x') as v", SQL_VARCHAR, 1, "x", 0},
    {"select isnull(null, 'yes') as v", SQL_VARCHAR, 3, "yes", 0},
    {"select iif(1 > 2, 'no', 'maybe') as v", SQL_VARCHAR, 5, "maybe", 0},
    {"select top 1 'x' as v union all select 'yy' order by v desc", SQL_VARCHAR, 2, "yy", 0},
    // Exact numeric literals.
    {"select 922337203685477.5807 as v", SQL_NUMERIC, 19, "922337203685477.5807", 0},
    {"select -922337203685477.5808 as v", SQL_NUMERIC, 19, "-922337203685477.5808", 0},
    {"select 12345678901234567890123456789012345678 as v", SQL_NUMERIC, 38, "12345678901234567890123456789012345678", 0},
    {"select 7 / 2 as v", SQL_INTEGER, -1, "3", 0},
    // decimal(2,1) / int is decimal(13,12); decimal(2,1) * decimal(3,2) is decimal(6,3).
    {"select 7.0 / 2 as v", SQL_NUMERIC, 13, "3.500000000000", 0},
    {"select 1.5 * 2.25 as v", SQL_NUMERIC, 6, "3.375", 0},
    {"select 1.5 + 10.25 as v", SQL_NUMERIC, 5, "11.75", 0},
    // Decimal and money arithmetic is exact, at the precision and scale SQL Server's rules give.
    {"select 12345678901234567890.12 * 3 as v", SQL_NUMERIC, 33, "37037036703703703670.36", 0},
    {"create table dx (d decimal(38,10), m money, s smallmoney, n int) "
     "insert into dx values (12345678901234567890.1234567891, 92233720368547.5807, 1.25, 3), (1.5, 0.0001, 2.5, 4) "
     "select d / n as v from dx order by n",
     SQL_NUMERIC, 38, "4115226300411522630.0411522630", 0},
    {"select d * 2 as v from dx order by n", SQL_NUMERIC, 38, "24691357802469135780.246914", 0},
    {"select m * 1.5 as v from dx order by n", SQL_NUMERIC, 22, "138350580552821.37105", 0},
    {"select m / 3 as v from dx order by n", SQL_DECIMAL, 19, "30744573456182.5269", 0},
    {"select avg(d) as v from dx", SQL_NUMERIC, 38, "6172839450617283945.8117283946", 0},
    {"select avg(m) as v from dx", SQL_DECIMAL, 19, "46116860184273.7904", 0},
    {"select avg(s) + 0.5 as v from dx", -1, -1, "2.3750", 0},
    {"declare @p decimal(10,2) = 3.33 select (@p + 1) * 2 - @p / 3 as v", SQL_NUMERIC, -1, "7.5500000000000", 0},
    {"select count(*) as v from dx where d * 2 > 2.5 and m * 2 < 1", SQL_INTEGER, -1, "1", 0},
    // Results of more than 15 digits compare and sort as numbers among smaller ones; SUM of an
    // expression adds exactly.
    {"create table bd (k int, d decimal(38,4), m money) "
     "insert into bd values (1, -12345678901234567.5, 10), (2, 2.5, 20), (3, 123.25, 922337203685.4775) "
     "select count(*) as v from bd where d * 2 < 0",
     SQL_INTEGER, -1, "1", 0},
    {"select top 1 k as v from bd order by d * 2", SQL_INTEGER, -1, "1", 0},
    {"select top 1 k as v, d - 1 as x from bd order by x", SQL_INTEGER, -1, "1", 0},
    {"select top 1 k as v, d * 3 from bd order by 2", SQL_INTEGER, -1, "1", 0},
    {"select top 1 k as v from bd group by k order by max(d) desc", SQL_INTEGER, -1, "3", 0},
    {"select count(*) as v from bd where d * 2 in (-24691357802469135, 5)", SQL_INTEGER, -1, "2", 0},
    {"select count(*) as v from (select k from bd group by k having max(d) > 100) q", SQL_INTEGER, -1, "1", 0},
    {"select count(*) as v from (select k from bd group by k having sum(d) < 0) q", SQL_INTEGER, -1, "1", 0},
    // So do such values reached through a function, CASE, a derived table's column or a UNION.
    {"select count(*) as v from bd where isnull(d * 2, 0) < 9", SQL_INTEGER, -1, "2", 0},
    {"select count(*) as v from bd where case when k = 1 then d * 2 else d end < 9", SQL_INTEGER, -1, "2", 0},
    {"select count(*) as v from (select d * 2 as e from bd union all select 1) q where e < 9", SQL_INTEGER, -1, "3", 0},
    {"with c as (select d * 2 as e from bd) select count(*) as v from c where c.e in (5, -24691357802469135)", SQL_INTEGER, -1, "2", 0},
    {"select case when x < 2 then 1 else 0 end as v from (select cast('-12345678901234567890.5' as decimal(38,2)) x) d", SQL_INTEGER, -1,
     "1", 0},
    {"select sum(d * 2) as v from bd", SQL_NUMERIC, 38, "-24691357802468883.5000", 0},
    {"select sum(m * 3) as v from bd", SQL_DECIMAL, 19, "2767011611146.4325", 0},
    {"create table mo (m money) insert into mo values (922337203685477.5807), (1) select sum(m) as v from mo", 0, -1, "", 8115},
    {"select cast(99999999999999999999999999999999999999 as decimal(38,0)) + 1 as v", 0, -1, "", 8115},
    {"select m * 2 as v from mo", 0, -1, "", 8115},
    {"select 2.5 / (1 - 1) as v", 0, -1, "", 8134},
    // Money as text: two decimals (style 0, CAST), thousands separators (style 1), four (style 2).
    {"select cast($1234.5678 as varchar) as v", SQL_VARCHAR, 30, "1234.57", 0},
    {"select convert(varchar(20), $1234567.5678, 1) as v", SQL_VARCHAR, 20, "1,234,567.57", 0},
    {"select convert(nvarchar(20), cast(-1234.5678 as money), 2) as v", SQL_WVARCHAR, 20, "-1234.5678", 0},
    {"select cast(cast(2.995 as smallmoney) as varchar(10)) + '|' as v", -1, -1, "3.00|", 0},
    {"create table #mv (m money) insert #mv values (-0.005) select cast(m * 2 as varchar) + '/' + convert(varchar, m) as v from #mv", -1,
     -1, "-0.01/-0.01", 0},
    // A string meeting money is read as money.
    {"select '1' + $1 as v", SQL_DECIMAL, 19, "2.0000", 0},
    {"select 'a' + $1 as v", 0, -1, "", 235},
    {"select '$1,000' + $1 as v", SQL_DECIMAL, 19, "1001.0000", 0},
    // Text that is no number: 235 for money and smallmoney, 8114 for a decimal, in a CAST, in
    // arithmetic, assigned to a variable and stored into a column. Money's text may have commas.
    {"select cast('a' as money) as v", 0, -1, "", 235},
    {"select cast('1 2' as smallmoney) as v", 0, -1, "", 235},
    {"select cast('$1,234.5' as money) as v", SQL_DECIMAL, 19, "1234.5000", 0},
    {"select cast('' as decimal(5,2)) as v", 0, -1, "", 8114},
    {"select cast('$5' as decimal(5,2)) as v", 0, -1, "", 8114},
    {"select cast(123 as decimal(2,0)) as v", 0, -1, "", 8115},
    {"select 'a' * 2.5 as v", 0, -1, "", 8114},
    // A string meeting a decimal is read as that decimal, rounded to its scale or too wide for it.
    {"select 9.999 * '9.999' as v", SQL_NUMERIC, 9, "99.980001", 0},
    {"select 9.99 * '9.999' as v", 0, -1, "", 8115},
    {"declare @m smallmoney = 'x' select @m as v", 0, -1, "", 235},
    {"declare @d decimal(9,2) set @d = '1.2.3' select @d as v", 0, -1, "", 8114},
    {"create table bm (m money, s smallmoney, d decimal(9,2)) insert bm values ('a', 1, 1)", 0, -1, "", 235},
    {"insert bm values (1, 1, 1) update bm set s = 'x'", 0, -1, "", 235},
    {"declare @t varchar(5) = 'x' update bm set d = @t", 0, -1, "", 8114},
    {"select cast(m as varchar) + '/' + cast(s as varchar) + '/' + cast(d as varchar) as v from bm", -1, -1, "1.00/1.00/1.00", 0},
    // Money assigned to a character variable or column is text in style 0: two decimals.
    {"declare @v varchar(30) = $12.3456 select @v as v", SQL_VARCHAR, 30, "12.35", 0},
    {"declare @m money = -1234.5678, @v nvarchar(30) select @v = @m select @v as v", SQL_WVARCHAR, 30, "-1234.57", 0},
    {"create table mtx (m money, v varchar(20), n nvarchar(20)) insert mtx values ($1234.5678, $1234.5678, null) "
     "update mtx set n = m * 2 insert mtx (v) select m from mtx where n is not null "
     "select max(v) + '|' + max(n) + '|' + cast(count(*) as varchar) as v from mtx",
     -1, -1, "1234.57|2469.14|2", 0},
    {"declare @v varchar(20) select top 1 @v = m from mtx where m is not null select @v as v", -1, -1, "1234.57", 0},
    // Text lengths count UTF-16 code units; char(n) and nchar(n) are padded with blanks.
    {"select len(N'a\xF0\x9F\x98\x80" "b') as v", SQL_INTEGER, -1, "4", 0},
    {"select cast('ab' as char(5)) + '|' as v", SQL_VARCHAR, 6, "ab   |", 0},
    {"select cast(N'ab' as nchar(3)) + N'|' as v", SQL_WVARCHAR, 4, "ab |", 0},
    // Binary read as a character type: UTF-16 for nvarchar, one byte a character for varchar.
    {"select cast(0x410042004300 as nvarchar(10)) as v", SQL_WVARCHAR, 10, "ABC", 0},
    {"select cast(0x414243 as varchar(10)) as v", SQL_VARCHAR, 10, "ABC", 0},
    // Numbers converted to binary are their big-endian bytes, cut or padded on the left; binary
    // read as an integer takes its rightmost bytes. Text and binary are cut or padded on the right.
    {"select cast(123456 as binary(4)) as v", SQL_BINARY, 4, "0001e240", 0},
    {"select 0x0102 as v", SQL_VARBINARY, 2, "0102", 0},
    {"select convert(varchar(30), cast(-1 as binary(6)), 1) + '|' + convert(varchar(10), cast(123456 as varbinary(2)), 2) as v", -1, -1,
     "0x0000FFFFFFFF|E240", 0},
    {"select convert(varchar(40), cast(1.5e0 as varbinary(8)), 1) + convert(varchar(20), cast($1 as binary(8)), 2) + "
     "convert(varchar(10), cast(N'AB' as varbinary(10)), 2) as v",
     -1, -1, "0x3FF8000000000000000000000000271041004200", 0},
    {"select cast(0xFFFFFFFF as int) + cast(0x0001E240 as int) * 10 + cast(0x4142434445 as int) as v", SQL_INTEGER, -1, "1112939204", 0},
    {"select convert(varchar(20), convert(binary(4), '0x0A', 1), 1) + convert(varchar(20), convert(varbinary(4), 'a0b1', 2), 1) as v", -1,
     -1, "0x0A0000000xA0B1", 0},
    {"select convert(varbinary(4), '0A', 1) as v", 0, -1, "", 8114},
    // A string meeting an integer or a float is read as that type: added, not joined.
    {"declare @i int = 5 select '1' + 2 + @i * '3' as v", SQL_INTEGER, -1, "18", 0},
    {"select 'a' + 2 as v", 0, -1, "", 245},
    {"select concat('a', null, 5, N'\xC3\xA9') as v", SQL_WVARCHAR, -1, "a5\xC3\xA9", 0},
    {"select concat('a') as v", 0, -1, "", 189},
    // FORMAT with .NET's format strings (en-US); one it cannot read gives NULL.
    {"select format(cast('2011-12-04 15:04:23.123' as datetime), 'dddd, MMMM d, yyyy h:mm tt|yyyy-MM-dd HH:mm:ss.fff') + '|' + "
     "format(1234567.891, 'N2') + '|' + format(-1234.5, 'C') + '|' + format(42, 'D5') + '|' + format(0.5, '#,##0.0#') as v",
     SQL_WVARCHAR, -1, "Sunday, December 4, 2011 3:04 PM|2011-12-04 15:04:23.123|1,234,567.89|($1,234.50)|00042|0.5", 0},
    {"select isnull(format(1, 'Q'), 'null') as v", -1, -1, "null", 0},
    // A window function's value keeps its argument's type; sys.databases is seen from every database.
    {"select lag(v) over (order by k) as v from (values (1, 1.25), (2, 2.5)) x(k, v) order by k desc", SQL_NUMERIC, -1, "1.25", 0},
    {"select top 1 name as v from sys.databases order by database_id", -1, -1, "master", 0},
    // An exact SUM sorts as a number by its position or its alias (with or without AS), and a
    // column named in two joined tables with one type keeps that type's exact arithmetic.
    {"create table #so (k int, m money) insert #so values (1, 976.28), (2, 1596.45) select top 1 k as v, sum(m * 2) s from #so "
     "group by k order by 2 desc",
     SQL_INTEGER, -1, "2", 0},
    {"select top 1 k as v, sum(m * 2) s from #so group by k order by s desc", SQL_INTEGER, -1, "2", 0},
    {"create table #ja (id int, p decimal(10,2)) create table #jb (id int, p decimal(10,2)) insert #ja values (1, 0.1) "
     "insert #jb values (1, 0.2) select sum(a.p * 3 + b.p * 3) as v from #ja a join #jb b on a.id = b.id",
     SQL_NUMERIC, -1, "0.90", 0},
    {"create table #nm (f varchar(10), l nvarchar(10)) insert #nm values ('Ann', N'Lee') declare @s varchar(5) = '1' "
     "select f + isnull(l, N'?') + @s + @s as v from #nm",
     SQL_WVARCHAR, 30, "AnnLee11", 0},
    {"select 'a' * 2.5e0 as v", 0, -1, "", 8114},
    {"create table #bin (v varbinary(8), f binary(4)) insert #bin values (123456, 0x0A) declare @b varbinary(2) = 0x010203 "
     "select convert(varchar(20), v, 1) + convert(varchar(20), f, 1) + convert(varchar(20), @b, 1) as v from #bin",
     -1, -1, "0x0001E2400x0A0000000x0102", 0},
    {"select 3 * 5 / 2 as v", SQL_INTEGER, -1, "7", 0},
    // Conversions and the errors SQL Server raises.
    {"select cast('true' as bit) as v", SQL_BIT, -1, "1", 0},
    {"select cast(' 42 ' as int) as v", SQL_INTEGER, -1, "42", 0},
    {"select cast('abc' as int) as v", 0, -1, "", 245},
    // A string read as an integer takes no fraction; blanks are 0, for a float too.
    {"select '1.5' * 2 as v", 0, -1, "", 245},
    {"declare @s varchar(5) = '3.5' select convert(int, @s) as v", 0, -1, "", 245},
    {"select cast('' as int) + cast(' ' as float) + cast(N' -7 ' as smallint) as v", SQL_DOUBLE, -1, "-7", 0},
    {"select cast(cast(12.75 as decimal(5,2)) as int) * 10 + cast(1.9e0 as int) as v", SQL_INTEGER, -1, "121", 0},
    {"create table #ni (i int) insert #ni values ('') select i as v from #ni", SQL_INTEGER, -1, "0", 0},
    {"select cast(3000000000 as int) as v", 0, -1, "", 8115},
    {"select cast('3000000000' as int) as v", 0, -1, "", 248},
    // ROUND keeps its argument's type and scale, FLOOR and CEILING drop the scale; exact, with a
    // negative length, and ROUND(9.9, 0) overflows numeric(2,1) as on SQL Server.
    {"select round(cast(1.234 as decimal(6,3)), 2) as v", -1, 6, "1.230", 0},
    {"select round(1234.5678, -2) as v", SQL_NUMERIC, 8, "1200.0000", 0},
    {"select round(2.5, 0) as v", SQL_NUMERIC, 2, "3.0", 0},
    {"select round(2.567, 2, 1) as v", SQL_NUMERIC, 4, "2.560", 0},
    {"select cast(round(-1250, -2) as varchar) + ' ' + cast(floor(-1.5) as varchar) + ' ' + cast(ceiling(-1.5) as varchar) + ' ' + "
     "cast(abs(-2.50) as varchar) + ' ' + cast(round(123.456e0, -1) as varchar) as v",
     -1, -1, "-1300 -2 -1 2.50 120", 0},
    {"select floor(cast(2.75 as decimal(5,2))) as v", -1, 5, "2", 0},
    // Numbers written as text by CAST, CONVERT and assignment as SQL Server writes them: a decimal
    // with its scale's digits, a float with up to six (or in CONVERT's styles 1 and 2).
    {"declare @d decimal(9,2) = 5 declare @f float = 1234567.891 declare @s varchar(40) = @f select cast(2.50 as varchar) + '|' + "
     "cast(@d as varchar) + '|' + cast(120e0 as varchar) + '|' + cast(0.00001e0 as varchar) + '|' + @s + '|' + convert(varchar(30), @f, 2) as v",
     -1, -1, "2.50|5.00|120|1e-005|1.23457e+006|1.234567891000000e+006", 0},
    {"select round($2.567, 2) as v", SQL_DECIMAL, 19, "2.5700", 0},
    {"select round(9.9, 0) as v", 0, -1, "", 8115},
    // A grouped query names only grouped columns outside its aggregates (8120); window functions,
    // subqueries, grouped expressions and dateparts are not such columns.
    {"select CustomerID, count(*) as v from Orders", 0, -1, "", 8120},
    {"select c.City, count(*) as v from Customers c join Orders o on o.CustomerID = c.CustomerID group by c.Country", 0, -1, "", 8120},
    {"select City as v from Customers having count(*) > 1", 0, -1, "", 8120},
    {"select top 1 datepart(year, max(OrderDate)) * 0 + (select count(*) from Customers) + count(*) over () + "
     "case when Status = 'New' then 1 else 0 end + year(OrderDate) * 0 as v from Orders group by Status, year(OrderDate) order by Status",
     SQL_INTEGER, -1, "205", 0},
    // A condition comparing an integer column with a string reads the string as an integer (245
    // when it is none); UPDATE's own table types its columns (a datetime plus a day).
    {"select count(*) as v from Customers where CustomerID = 'abc'", 0, -1, "", 245},
    {"select count(*) as v from Orders where OrderID = ' 13 ' or '' = OrderID", SQL_INTEGER, -1, "1", 0},
    {"select OrderID = 'x' from Orders where OrderID = 1", -1, -1, "x", 0},
    // Strings compare without regard to case and trailing blanks, columns, literals and variables
    // alike; an int result past the type is an overflow, not a number cut to four bytes.
    {"declare @s varchar(10) = 'ACTIVE' select case when 'a' = 'a   ' then 1 else 0 end + case when @s = 'active' then 10 else 0 end + "
     "case when upper(@s) <> 'Active  ' then 0 else 100 end as v",
     SQL_INTEGER, -1, "111", 0},
    {"create table #tb (v varchar(10)) insert #tb values ('x  '), ('X') select count(*) as v from #tb where v = 'x'", SQL_INTEGER, -1, "2", 0},
    {"select 2147483647 + 1 as v", 0, -1, "", 8115},
    // INTERSECT binds before UNION and EXCEPT, also inside a derived table.
    {"select 1 as v union select 2 intersect select 2 except select 3 order by v", SQL_INTEGER, -1, "1", 0},
    {"select count(*) as v from (select 1 a union select 2 intersect select 2 intersect select 2 union all select 3) x", SQL_INTEGER, -1, "3", 0},
    {"begin tran select xact_state() * 10 + @@trancount as v rollback", SQL_INTEGER, -1, "11", 0},
    {"create table #up (k int, d datetime) insert #up values (1, '2011-12-04') update #up set d = d + 1 where k = ' 1' "
     "select convert(varchar(10), d, 121) as v from #up",
     -1, -1, "2011-12-05", 0},
    {"update #up set d = d + 1 where k = '1.0'", 0, -1, "", 245},
    {"create table #uc (s varchar(10), m money) insert #uc values ('a', 1.5) update #uc set s = s + 'b' + cast(m * 2 as varchar) "
     "select s as v from #uc",
     SQL_VARCHAR, 10, "ab3.00", 0},
    {"select string_escape('a\"b\\c/' + char(10), 'json') as v", -1, -1, "a\\\"b\\\\c\\/\\n", 0},
    // Deviations and variances, as aggregates and over a window.
    {"select cast(stdev(x) as varchar) + ' ' + cast(stdevp(x) as varchar) + ' ' + cast(var(x) as varchar) + ' ' + cast(varp(x) as varchar) "
     "as v from (values (2e0), (4e0), (4e0), (4e0), (5e0), (5e0), (7e0), (9e0)) d(x)",
     -1, -1, "2.13809 2 4.57143 4", 0},
    {"select top 1 var(x) over (order by x rows between 1 preceding and current row) as v from (values (1), (3), (6)) w(x) order by x desc",
     SQL_DOUBLE, -1, "4.5", 0},
    // Exact SUM and AVG of money and decimals over a window (a running total, a moving average).
    {"select top 1 cast(sum(Total) over (order by OrderID) as varchar) + ' ' + cast(avg(Total) over (order by OrderID rows between 1 "
     "preceding and current row) as varchar) as v from Orders where OrderID <= 3 order by OrderID desc",
     -1, -1, "304.82 25.34", 0},
    // datetime and smalldatetime without a style become text as "Dec  4 2011 10:04AM", also when
    // assigned or stored; the newer types keep their ISO form.
    {"select 'On ' + cast(cast('2011-12-04 22:04:23' as datetime) as varchar(30)) as v", SQL_VARCHAR, 33, "On Dec  4 2011 10:04PM", 0},
    {"declare @s varchar(30) = cast('2011-12-04 10:04' as smalldatetime) select @s + '|' + convert(varchar, cast('2011-12-04' as date)) as v",
     SQL_VARCHAR, -1, "Dec  4 2011 10:04AM|2011-12-04", 0},
    {"create table #dt (s varchar(30), d datetime) insert #dt (d) values ('2011-12-04 09:05') insert #dt (s) select d from #dt "
     "select s as v from #dt where s is not null",
     SQL_VARCHAR, 30, "Dec  4 2011  9:05AM", 0},
    // datetime and smalldatetime add and subtract days (fractions are times of day), strings read as
    // times and each other; the result is the higher type.
    {"select convert(varchar(30), cast('2011-12-04 10:00' as datetime) - 1.5, 121) + '|' + convert(varchar(30), 1 + "
     "cast('2011-12-04 10:00' as datetime), 121) + '|' + convert(varchar(30), cast('2011-12-04 10:00' as datetime) + '12:30', 121) as v",
     -1, -1, "2011-12-02 22:00:00.000|2011-12-05 10:00:00.000|2011-12-04 22:30:00.000", 0},
    {"select convert(varchar(30), cast('2011-12-04 10:00' as datetime) - cast('2011-12-01 04:00:00.003' as datetime), 121) as v", -1, -1,
     "1900-01-04 05:59:59.997", 0},
    {"select cast('2011-12-04 10:00' as smalldatetime) + 0.25 as v", SQL_TYPE_TIMESTAMP, -1, "2011-12-04 16:00:00", 0},
    {"select count(*) as v from Orders where OrderDate > (select max(OrderDate) from Orders) - 1", SQL_INTEGER, -1, "4", 0},
    {"select cast('9999-12-31' as datetime) + 1 as v", 0, -1, "", 517},
    {"select cast(getdate() as date) - 1 as v", 0, -1, "", 206},
    {"select 1.5 + sysdatetime() as v", 0, -1, "", 206},
    {"select cast('2011-12-04' as datetime) + 'x' as v", 0, -1, "", 241},
    {"select cast('x1' as float) as v", 0, -1, "", 8114},
    {"select 1 / 0 as v", 0, -1, "", 8134},
    // A length beyond what the type allows is refused, in casts, variables and columns.
    {"select cast(N'x' as nvarchar(8000)) as v", 0, -1, "", 131},
    {"select convert(varchar(8001), 'x') as v", 0, -1, "", 131},
    {"declare @v nchar(4001)", 0, -1, "", 131},
    {"create table #big (v varbinary(9000))", 0, -1, "", 131},
    {"select cast(N'x' as nvarchar(4000)) as v", SQL_WVARCHAR, 4000, "x", 0},
    // A literal's length counts UTF-16 units: a character beyond the basic plane takes two.
    {"select N'a\xF0\x9F\x98\x80" "b' as v", SQL_WVARCHAR, 4, "a\xF0\x9F\x98\x80" "b", 0},
    {"select cast('x' as varchar(8000)) as v", SQL_VARCHAR, 8000, "x", 0},
    {"select 'abc", 0, -1, "", 105},
    // A bracketed name left open, also by a doubled ] (which is one ] inside the name).
    {"select 1 as [ab]]", 0, -1, "", 105},
    {"select 1 as [", 0, -1, "", 105},
    {"select 1 /* open", 0, -1, "", 113},
    {"create table #t5 (v varchar(5)) insert into #t5 values ('abcdefg')", 0, -1, "", 2628},
    // Date strings by SQL Server's rules, or error 241.
    {"select cast('2011-12-4 10:04:23' as datetime) as v", SQL_TYPE_TIMESTAMP, -1, "2011-12-04 10:04:23.000", 0},
    {"select cast('12/4/2011 10:04' as datetime) as v", SQL_TYPE_TIMESTAMP, -1, "2011-12-04 10:04:00.000", 0},
    {"select cast('4 Dec 2011' as datetime) as v", SQL_TYPE_TIMESTAMP, -1, "2011-12-04 00:00:00.000", 0},
    {"select cast('Feb 27 2001 10:24:35:056AM' as datetime) as v", SQL_TYPE_TIMESTAMP, -1, "2001-02-27 10:24:35.057", 0},
    {"select cast('20240102' as date) as v", SQL_TYPE_DATE, -1, "2024-01-02", 0},
    // The same strings given to date variables, or 241.
    {"declare @d datetime = '20251201' select @d as v", SQL_TYPE_TIMESTAMP, -1, "2025-12-01 00:00:00.000", 0},
    {"declare @d date set @d = 'Jun 2 2024' select @d as v", SQL_TYPE_DATE, -1, "2024-06-02", 0},
    {"declare @d datetime select @d = '06/02/2024 10:30' select @d as v", SQL_TYPE_TIMESTAMP, -1, "2024-06-02 10:30:00.000", 0},
    {"declare @d datetime = 'notadate'", 0, -1, "", 241},
    // AVG of integers divides as integers do: truncated toward zero.
    {"select avg(v) as v from (values (1), (2)) x(v)", SQL_INTEGER, -1, "1", 0},
    {"select avg(v) as v from (values (-1), (-2)) x(v)", SQL_INTEGER, -1, "-1", 0},
    {"select count_big(*) as v from (values (1), (2)) x(v)", SQL_BIGINT, -1, "2", 0},
    {"select cast('2020-13-45' as datetime) as v", 0, -1, "", 241},
    {"select cast('2003-10-1 10:11:1 0' as datetime) as v", 0, -1, "", 241},
    {"select count(*) as v from Orders where OrderDate >= '6/1/2025'", SQL_INTEGER, -1, "592", 0},
    // SET DATEFORMAT orders numeric dates; a leading four-digit year follows it for datetime only.
    {"set dateformat dmy select cast('12/4/2011' as datetime) as v set dateformat mdy", SQL_TYPE_TIMESTAMP, -1, "2011-04-12 00:00:00.000", 0},
    {"set dateformat dmy select cast('2011-12-04' as datetime) as v set dateformat mdy", SQL_TYPE_TIMESTAMP, -1, "2011-04-12 00:00:00.000",
     0},
    {"set dateformat dmy select cast('2011-12-04' as date) as v set dateformat mdy", SQL_TYPE_DATE, -1, "2011-12-04", 0},
    {"set dateformat ymd select cast('11/12/4' as date) as v set dateformat mdy", SQL_TYPE_DATE, -1, "2011-12-04", 0},
    {"set dateformat dmy select count(*) as v from Orders where OrderDate >= '1/6/2025' set dateformat mdy", SQL_INTEGER, -1, "592", 0},
    {"select cast('31/12/2011' as datetime) as v", 0, -1, "", 241},
    {"set dateformat xyz", 0, -1, "", 2741},
    {"select serverproperty('ProductVersion') as v", -1, -1, "15.0.2000.5", 0},
    // Aggregates of a column keep its type.
    {"select min(OrderDate) as v from Orders o", SQL_TYPE_TIMESTAMP, -1, "2025-01-01 11:29:24.000", 0},
    {"create table m1 (v money) insert into m1 values (0.1) insert into m1 values (0.2) select sum(v) as v from m1", SQL_DECIMAL, 19,
     "0.3000", 0},
    {"raiserror('high', 19, 1)", 0, -1, "", 2754},
    // Session state and the catalog views a user queries by hand.
    {"select @@language as v", SQL_WVARCHAR, -1, "us_english", 0},
    {"select @@datefirst as v", SQL_TINYINT, -1, "7", 0},
    // SET TEXTSIZE cuts large values to that many bytes.
    {"set textsize 6 select cast(N'abcdef' as nvarchar(max)) as v set textsize 2147483647", -1, -1, "abc", 0},
    {"set textsize 4 select cast('abcdef' as varchar(max)) as v set textsize 2147483647", -1, -1, "abcd", 0},
    {"select name as v from sys.tables where name like 'Ord%' order by name", -1, -1, "OrderLines", 0},
    {"select count(*) as v from sys.columns c join sys.objects o on o.object_id = c.object_id where o.name = 'Products'", SQL_INTEGER, -1,
     "5", 0},
    // Query forms users type early on.
    {"select ProductID, Name into #copy from Products where ProductID < 4 select count(*) as v from #copy", SQL_INTEGER, -1, "3", 0},
    {"select Name as v from #copy where ProductID = 2", SQL_WVARCHAR, 100, "Filter coffee 500 g", 0},
    {"create table #ins (v int) insert into #ins select ProductID from Products select count(*) as v from #ins", SQL_INTEGER, -1, "20", 0},
    {"select 'a' as v union all select top 1 'b' from Products order by v desc", SQL_VARCHAR, 1, "b", 0},
    {"select name as v from (values (1, 'one'), (2, 'two')) as t(id, name) where id = 2", -1, -1, "two", 0},
    {"select string_agg(name, ',') within group (order by name) as v from (values ('a'), ('b')) t(name)", -1, -1, "a,b", 0},
    {"select nchar(9786) as v", -1, -1, "\xE2\x98\xBA", 0},
    {"with n(i) as (select 1 union all select i + 1 from n where i < 200) select max(i) as v from n option (maxrecursion 300)",
     SQL_INTEGER, -1, "200", 0},
    {"select has_perms_by_name('Orders', 'OBJECT', 'SELECT') as v", SQL_INTEGER, -1, "1", 0},
    {"select count(*) as v from sys.dm_exec_sessions where session_id = @@spid", SQL_INTEGER, -1, "1", 0},
    {"select name as v from systypes where xtype = 231 and name <> 'sysname'", -1, -1, "nvarchar", 0},
    {"select name as v from sysusers where uid = 1", -1, -1, "dbo", 0},
    // TYPE_ID and TYPE_NAME answer by the ids systypes and sys.columns use; an alias type's id follows 256 (sysname).
    {"select type_name(56) as v", SQL_WVARCHAR, 128, "int", 0},
    {"select type_id('nvarchar') as v", SQL_INTEGER, -1, "231", 0},
    {"select cast(type_id('sysname') as varchar) + type_name(256) + '/' + isnull(type_name(-1), '-') + '/' + isnull(cast(type_id('nope') as varchar), '-') as v",
     -1, -1, "256sysname/-/-", 0},
    {"select count(*) as v from sys.columns c join systypes t on t.xusertype = c.system_type_id "
     "where t.name <> 'sysname' and (type_name(c.system_type_id) <> t.name or type_id(t.name) <> c.system_type_id)",
     SQL_INTEGER, -1, "0", 0},
    {"create type dbo.Phone from varchar(20) not null select type_name(type_id('dbo.phone')) + '/' + cast(type_id('Phone') as varchar) as v",
     -1, -1, "Phone/257", 0},
    // A bracketed name with "]" doubled inside stands wherever a name may.
    {"create table [a]]b'c] ([v]]w] int) insert [a]]b'c] values (7) update dbo.[a]]b'c] set [v]]w] = [v]]w] + 1 "
     "select top 100 * from [a]]b'c]",
     SQL_INTEGER, -1, "8", 0},
    {"create table [a]]b] (v int) insert into [a]]b] (v) values (3) select * from [a]]b]", SQL_INTEGER, -1, "3", 0},
    {"create table [k]]1] ([i]]d] int not null, constraint [PK]]k] primary key ([i]]d])) insert [k]]1] values (4) "
     "select [t]]1].[i]]d] as v from [k]]1] as [t]]1]",
     SQL_INTEGER, -1, "4", 0},
    {"select object_name(object_id('dbo.[a]]b''c]')) as v", -1, -1, "a]b'c", 0},
    {"select column_name as v from information_schema.columns where table_name = N'a]b''c'", -1, -1, "v]w", 0},
    {"create table [a]]b] (v int)", 0, -1, "", 2714},
    // Defaults and check constraints are objects of their own, dropped with their table.
    {"create table tc (v int constraint DF_tc default 0, w int check (w > 1), check (v < w)) "
     "select count(*) as v from sysobjects where parent_obj = object_id('tc') and xtype in ('D', 'C')",
     SQL_INTEGER, -1, "3", 0},
    {"select cast(text as nvarchar(4000)) as v from syscomments where id = object_id('DF_tc')", -1, -1, "((0))", 0},
    {"select objectproperty(object_id('DF_tc'), 'IsProcedure') + objectproperty(object_id('DF_tc'), 'IsView') as v", SQL_INTEGER, -1, "0",
     0},
    {"drop table tc select count(*) as v from sysobjects where name = 'DF_tc' or name like 'CK__tc__%'", SQL_INTEGER, -1, "0", 0},
    // Text compares and sorts without regard to case, as under the server's default collation.
    {"select name as v from sysobjects where xtype in ('P', 'FN', 'IF', 'TF') order by name", -1, -1, "fnCustomerOrders", 0},
    {"select cast(name as nvarchar(4000)) as v from sysobjects where xtype = 'U' and name <> 'a]b' and name not like '#%' order by v", -1,
     -1, "a]b'c", 0},
    {"select count(*) as v from Customers where City = 'oslo'", SQL_INTEGER, -1, "21", 0},
    {"select count(*) as v from Customers where City = 'oslo' collate Latin1_General_CS_AS", SQL_INTEGER, -1, "0", 0},
    {"select top 1 name as v from sysobjects where xtype in ('P', 'IF') order by name collate Latin1_General_BIN2", -1, -1,
     "GetCustomerOrders", 0},
    {"select top 1 name as v from sysobjects where xtype in ('P', 'IF') order by name collate SQL_Latin1_General_CP1_CI_AS", -1, -1,
     "fnCustomerOrders", 0},
    {"create table #ci (k varchar(10) primary key) insert into #ci values ('abc') insert into #ci values ('ABC')", 0, -1, "", 2627},
    // Values stored into a column take its type: dates by DATEFORMAT, char(n) padded, exact decimals.
    {"create table sd1 (d datetime, c char(5)) insert into sd1 values ('4 Jul 1996', 'ab') set dateformat dmy "
     "insert into sd1 select '4/7/1996 10:30', c from sd1 set dateformat mdy select max(d) as v from sd1",
     SQL_TYPE_TIMESTAMP, -1, "1996-07-04 10:30:00.000", 0},
    {"select c + '|' as v from sd1", -1, -1, "ab   |", 0},
    {"insert into sd1 (d) values ('2020-13-45')", 0, -1, "", 241},
    {"update sd1 set c = 1, d = 'x'", 0, -1, "", 241},
    {"create table #sn (n int) insert into #sn values ('abc')", 0, -1, "", 245},
    {"create table sm1 (m money, x decimal(38,4)) insert into sm1 values (-922337203685477.5808, 12345678901234567890.1234), (9, 9.5) "
     "select min(m) as v from sm1",
     SQL_DECIMAL, 19, "-922337203685477.5808", 0},
    {"select max(x) as v from sm1", -1, 38, "12345678901234567890.1234", 0},
    {"select top 1 x as v from sm1 order by x", -1, 38, "9.5000", 0},
    // A date without a time compared with a date-time column is midnight in the column's type.
    {"create table dq (d datetime, d2 datetime2, s smalldatetime) "
     "insert into dq values ('2001-01-01', '2001-01-01', '2001-01-01'), ('1/2/2001 10:00', '1/2/2001 10:00', '1/2/2001 10:00') "
     "select count(*) as v from dq where d = '1/1/2001' and d2 = '2001-01-01' and s = 'Jan 1 2001'",
     SQL_INTEGER, -1, "1", 0},
    {"select count(*) as v from dq where d in ('1/1/2001', '20010105') and s in ('2001-01-01') and d2 in ('Jan 1 2001')", SQL_INTEGER,
     -1, "1", 0},
    {"select count(*) as v from dq where d <> '1/1/2001' and d2 = '2001-01-02 10:00' and s = '2001-01-02T10:00:00'", SQL_INTEGER, -1,
     "1", 0},
    {"select count(*) as v from dq where d < '2001-01-01' or d2 > '2001-01-02 10:00'", SQL_INTEGER, -1, "0", 0},
    {"declare @v varchar(20) = '1/1/2001' declare @w date = '2001-01-01' "
     "select count(*) as v from dq where d = @v and d2 = @v and s = @w",
     SQL_INTEGER, -1, "1", 0},
    // Weekdays and weeks count from SET DATEFIRST (2001-01-01 is a Monday, 2001-01-07 a Sunday).
    {"select datepart(weekday, '2001-01-01') * 10 + datepart(week, '2001-01-07') as v", SQL_INTEGER, -1, "22", 0},
    {"set datefirst 1 select datepart(dw, '2001-01-01') * 10 + datepart(wk, '2001-01-07') as v set datefirst 7", SQL_INTEGER, -1, "11", 0},
    {"set datefirst 3 select cast(@@datefirst as varchar) + datename(weekday, '2001-01-01') + datename(dw, '2001-01-01') + "
     "cast(datepart(weekday, d) as varchar) as v from dq where d = '1/1/2001' set datefirst 7",
     -1, -1, "3MondayMonday6", 0},
    // String functions: STUFF and REPLICATE give the longest of the first argument's kind (a max
    // type stays max, REPLICATE's result is cut at 8000 bytes otherwise), REVERSE and TRANSLATE its
    // own type; NULL for a start beyond the text, a negative count or a name past 128 characters.
    {"select stuff('abcdef', 2, 3, 'XY') as v", SQL_VARCHAR, 8000, "aXYef", 0},
    {"select stuff(N'abc', 1, 1, null) + isnull(stuff('abc', 4, 1, 'x'), '-') + isnull(stuff('abc', 1, -1, 'x'), '-') as v",
     SQL_WVARCHAR, -1, "bc--", 0},
    {"select stuff('abc', 1, 1) as v", 0, -1, "", 174},
    {"select replicate(N'ab', 2) as v", SQL_WVARCHAR, 4000, "abab", 0},
    {"select cast(len(replicate('ab', 5000)) as varchar) + '/' + cast(len(replicate(N'ab', 5000)) as varchar) + '/' + "
     "cast(len(replicate(cast('ab' as varchar(max)), 5000)) as varchar) + '/' + isnull(replicate('x', -1), 'null') as v",
     -1, -1, "8000/4000/10000/null", 0},
    {"create table #rp (n nvarchar(10), d date) insert #rp values (N'ab', '2020-01-01') select len(replicate(n, 3000)) as v from #rp",
     SQL_INTEGER, -1, "4000", 0},
    {"select datepart(hh, d) as v from #rp", 0, -1, "", 9810},
    {"select reverse(N'abc') as v", SQL_WVARCHAR, 3, "cba", 0},
    {"select patindex('%b_d%', 'abcde') * 100 + patindex('%[0-9]%', 'ab3') * 10 + patindex('b%', 'abc') as v", SQL_INTEGER, -1, "230", 0},
    {"select quotename('t') as v", SQL_WVARCHAR, 258, "[t]", 0},
    {"select quotename('a]b') + quotename('x', '\"') + quotename('x', '(') + isnull(quotename('x', 'q'), '-') + "
     "isnull(quotename(replicate('x', 129)), '-') as v",
     -1, -1, "[a]]b]\"x\"(x)--", 0},
    {"select trim('  a  ') + '|' + trim('x' from 'xxaxx') + '|' + trim(leading '0' from '007') as v", -1, -1, "a|a|7", 0},
    {"select concat_ws(', ', 'a', null, 'b') as v", SQL_VARCHAR, -1, "a, b", 0},
    {"select concat_ws(',', 'a') as v", 0, -1, "", 189},
    {"select translate('2*[3+4]', '[]', '()') as v", SQL_VARCHAR, 7, "2*(3+4)", 0},
    {"select translate('a', 'ab', 'x') as v", 0, -1, "", 9828},
    {"select ascii('A') * 1000 + unicode(N'\xC3\xA9') as v", SQL_INTEGER, -1, "65233", 0},
    {"select char(65) as v", SQL_CHAR, 1, "A", 0},
    {"select isnull(char(300), 'null') + space(2) + isnull(space(-1), 'null') + soundex('Robert') + soundex('Ashcraft') + "
     "cast(difference('Robert', 'Rupert') as varchar) as v",
     -1, -1, "null  nullR163A2614", 0},
    // Dates built from parts, or 289 for a part out of range; EOMONTH with a month offset.
    {"select eomonth('2020-01-31', 1) as v", SQL_TYPE_DATE, -1, "2020-02-29", 0},
    {"select datefromparts(2020, 2, 29) as v", SQL_TYPE_DATE, -1, "2020-02-29", 0},
    {"select datefromparts(2021, 2, 29) as v", 0, -1, "", 289},
    {"select datefromparts('x', 1, 1) as v", 0, -1, "", 245},
    {"select eomonth(5) as v", 0, -1, "", 8116},
    {"select isnull(datefromparts(2021, null, 1), '1900-01-01') as v", SQL_TYPE_DATE, -1, "1900-01-01", 0},
    {"select datetimefromparts(2020, 1, 2, 3, 4, 5, 7) as v", SQL_TYPE_TIMESTAMP, -1, "2020-01-02 03:04:05.007", 0},
    {"select datetime2fromparts(2020, 1, 2, 3, 4, 5, 6, 2) as v", SQL_TYPE_TIMESTAMP, -1, "2020-01-02 03:04:05.06", 0},
    {"select datetime2fromparts(2020, 1, 2, 3, 4, 5, 100, 2) as v", 0, -1, "", 289},
    {"select datepart(ms, timefromparts(1, 2, 3, 45, 2)) + datepart(mi, smalldatetimefromparts(2020, 1, 2, 3, 4)) as v", SQL_INTEGER, -1,
     "454", 0},
    {"select smalldatetimefromparts(2079, 6, 7, 0, 0) as v", 0, -1, "", 289},
    // Every datepart abbreviation; ISO weeks; DATEDIFF past int is 535, DATEDIFF_BIG's bigint holds it.
    {"select datename(m, '2020-03-01') as v", SQL_WVARCHAR, 30, "March", 0},
    {"select datename(dw, '2020-03-01') + datename(iso_week, '2020-12-31') + datename(qq, '2020-05-01') + datename(dy, '2020-02-01') as v",
     -1, -1, "Sunday53232", 0},
    {"select datepart(isowk, '2021-01-03') * 100 + datepart(isoww, '2021-01-04') + datepart(tz, cast('2020-01-01 10:00 +05:30' as "
     "datetimeoffset)) * 10000 as v",
     SQL_INTEGER, -1, "3305301", 0},
    {"select datediff(ms, '2020-01-01', '2020-01-02') + datediff(ns, '2020-01-01', '2020-01-01 00:00:01') / 1000 + "
     "datediff(mcs, '2020-01-01', '2020-01-01 00:00:00.5') as v",
     SQL_INTEGER, -1, "87900000", 0},
    {"select datediff(ns, '2000-01-01', '2020-01-01') as v", 0, -1, "", 535},
    {"select datediff_big(ns, '2000-01-01', '2020-01-01') as v", SQL_BIGINT, -1, "631152000000000000", 0},
    {"select dateadd(xx, 1, '2020-01-01') as v", 0, -1, "", 155},
    {"select datepart(hour, cast('2020-01-01' as date)) as v", 0, -1, "", 9810},
    {"select dateadd(ns, 1, getdate()) as v", 0, -1, "", 9810},
    {"select datediff(mi, cast('2020-01-01 10:00 +02:00' as datetimeoffset), cast('2020-01-01 10:00 +01:00' as datetimeoffset)) + "
     "case when abs(datediff(ss, sysutcdatetime(), getutcdate())) < 5 then 1 else 0 end as v",
     SQL_INTEGER, -1, "61", 0},
    {"select dateadd(mcs, 5, cast('2020-01-01' as datetime2)) as v", SQL_TYPE_TIMESTAMP, -1, "2020-01-01 00:00:00.0000050", 0},
    {"select datepart(tz, dateadd(hh, 1, cast('2020-01-01 10:00 +05:30' as datetimeoffset))) * 100 + "
     "datepart(hh, dateadd(hh, 1, cast('2020-01-01 10:00 +05:30' as datetimeoffset))) as v",
     SQL_INTEGER, -1, "33011", 0},
    {"select datetrunc(month, '2020-05-17 10:11:12') as v", SQL_TYPE_TIMESTAMP, -1, "2020-05-01 00:00:00.0000000", 0},
    {"select datetrunc(hh, cast('2020-05-17 10:11:12.345' as datetime)) as v", SQL_TYPE_TIMESTAMP, -1, "2020-05-17 10:00:00.000", 0},
    {"select isdate('2020-02-30') * 1000 + isdate('2020-02-28') * 100 + isdate(null) * 10 + isdate('1700-01-01') as v", SQL_INTEGER, -1,
     "100", 0},
    {"select isnumeric('1e5') * 10000 + isnumeric('$') * 1000 + isnumeric('abc') * 100 + isnumeric('1,000.5') * 10 + isnumeric(null) as v",
     SQL_INTEGER, -1, "11010", 0},
    // TRY_CAST and TRY_CONVERT: NULL where CAST would fail to convert, an error where it may not convert at all.
    {"select isnull(try_cast('x' as int), -1) + try_cast(' 12' as int) as v", SQL_INTEGER, -1, "11", 0},
    {"select try_cast(12.345 as decimal(5,2)) as v", SQL_NUMERIC, 5, "12.35", 0},
    {"select case when try_cast(1234.5 as decimal(3,1)) is null and try_cast('2020-13-01' as date) is null and "
     "try_cast(300 as tinyint) is null and try_convert(float, 'abc') is null then 1 else 0 end as v",
     SQL_INTEGER, -1, "1", 0},
    {"select try_convert(date, '31/12/2020', 103) as v", SQL_TYPE_DATE, -1, "2020-12-31", 0},
    {"select try_convert(varchar(10), cast('2020-01-02' as date), 103) as v", SQL_VARCHAR, 10, "02/01/2020", 0},
    {"select try_cast(1 as date) as v", 0, -1, "", 529},
    {"select parse('$1,234.50' as money using 'en-US') as v", SQL_DECIMAL, 19, "1234.5000", 0},
    {"select parse('Monday, 13 December 2010' as date) as v", SQL_TYPE_DATE, -1, "2010-12-13", 0},
    {"select isnull(try_parse('abc' as int), -1) as v", SQL_INTEGER, -1, "-1", 0},
    {"select parse('abc' as int) as v", 0, -1, "", 9819},
    // Math: POWER keeps its first argument's type, the others are float; a value outside a
    // function's domain is 3623, an integer power too large for int 232.
    {"select power(2, 10) + power(2, 0.5) as v", SQL_INTEGER, -1, "1025", 0},
    {"select power(2.0, 3) as v", SQL_NUMERIC, 38, "8.0", 0},
    {"select power(10, 10) as v", 0, -1, "", 232},
    {"select cast(sqrt(16) + square(3) + log(exp(2)) + log(8, 2) + log10(1000) + atn2(0, 1) + sin(0) as int) as v", SQL_INTEGER, -1, "21",
     0},
    {"select sqrt(4) as v", SQL_DOUBLE, -1, "2", 0},
    {"select sqrt(-1) as v", 0, -1, "", 3623},
    {"select log(0) as v", 0, -1, "", 3623},
    {"select case when rand(7) = rand(7) then 1 else 0 end as v", SQL_INTEGER, -1, "1", 0},
    {"select choose(2, 'a', 'bb', 'c') as v", SQL_VARCHAR, 2, "bb", 0},
    {"select isnull(choose(5, 'a'), 'null') + least('b', 'A', null) + cast(greatest(1, 5, null, 3) as varchar) as v", -1, -1, "nullA5", 0},
    {"select nullif(3, 2) as v", SQL_INTEGER, -1, "3", 0},
    {"select case when nullif('a', 'A ') is null then 1 else 0 end + 10 * cast(greatest(cast(10.5 as decimal(5,1)), 9.75) as int) as v",
     SQL_INTEGER, -1, "101", 0},
    {"select nullif(1) as v", 0, -1, "", 174},
    // JSON: lax paths give NULL where strict ones raise SQL Server's errors.
    {"select json_value('{\"a\":{\"b\":[10, 2.50, \"x\", true]}}', '$.a.b[1]') as v", SQL_WVARCHAR, 4000, "2.50", 0},
    {"select json_value('{\"a\":[true]}', 'lax $.a[0]') + isnull(json_value('{\"a\":{\"b\":1}}', '$.a'), '-') + "
     "isnull(json_value('{\"a\":1}', '$.z'), '-') + cast(isjson('{\"a\":1}') * 10 + isjson('[1') as varchar) as v",
     -1, -1, "true--10", 0},
    {"select json_value('{\"a\":1}', 'strict $.z') as v", 0, -1, "", 13608},
    {"select json_value('nope', '$.a') as v", 0, -1, "", 13609},
    {"select json_query('{\"a\":{\"b\":[1,2]}}', '$.a') as v", -1, -1, "{\"b\":[1,2]}", 0},
    {"select json_query('{\"a\":1}', 'strict $.a') as v", 0, -1, "", 13624},
    {"select json_modify(json_modify(json_modify('{\"a\":1,\"b\":[2]}', '$.a', 'x'), 'append $.b', 3), '$.c', "
     "json_query('{\"d\":null}')) + json_modify('{\"a\":1}', '$.a', null) as v",
     SQL_WVARCHAR, -1, "{\"a\":\"x\",\"b\":[2,3],\"c\":{\"d\":null}}{}", 0},
    {"select json_modify('{\"a\":1}', 'strict $.z', 1) as v", 0, -1, "", 13608},
    {"select formatmessage('%s is %d (%s)', 'Ann', 42, null) as v", SQL_WVARCHAR, 2048, "Ann is 42 ((null))", 0},
};

TEST(SandboxFidelity, TypesValuesAndErrors) {
    SandboxProcess server(true);
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(server.OdbcConnectionString("sa", SandboxProcess::Password(), "demo")));
    for (const Case& k : kCases) {
        const OdbcRun run = c.Run(k.sql);
        std::string diag;
        for (const auto& d : run.diags) diag += " [" + std::to_string(d.native) + "] " + d.text;
        if (k.error != 0) {
            EXPECT_TRUE(run.HasDiag(k.error)) << k.sql << diag;
            continue;
        }
        ASSERT_FALSE(run.results.empty()) << k.sql << diag;
        const OdbcResult& r = run.results.back();
        ASSERT_FALSE(r.rows.empty()) << k.sql << diag;
        if (k.sqlType != -1) {
            EXPECT_EQ(r.types.at(0), k.sqlType) << k.sql;
        }
        if (k.size >= 0) {
            EXPECT_EQ(r.sizes.at(0), k.size) << k.sql;
        }
        EXPECT_EQ(r.rows[0].at(0), k.value) << k.sql;
    }
}

// A sql_variant travels with its base type and that type's properties: the driver's binary form of
// the value is the base type's (a decimal's precision and scale, the date and time structures, the
// server's own datetime and money bytes), not the text of an nvarchar.
TEST(SandboxFidelity, VariantsKeepTheirBaseType) {
    SandboxProcess server(false);
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(server.OdbcConnectionString()));
    ASSERT_TRUE(c.Run("create table vb (d decimal(9,3), t datetime) insert into vb values (12.345, '2011-12-04 10:04:23.123')").ok);
    // A sql_variant column keeps each value's base type, however the value is stored.
    ASSERT_TRUE(c.Run("create table vc (k int, v sql_variant) insert into vc values (1, cast(12.345 as decimal(9,3))), (2, 5) "
                      "insert into vc select 3, t from vb insert into vc (k, v) select 4, v from vc where k = 1 "
                      "insert into vc values (5, null) update vc set v = cast(-5.25 as money) where k = 5")
                    .ok);
    const struct {
        const char* sql;
        const char* text;
        const char* binary;
    } cases[] = {
        {"select serverproperty('ProductVersion')", "15.0.2000.5", "310035002e0030002e0032003000300030002e003500"},
        {"select serverproperty('EngineEdition')", "3", "03000000"},
        {"select cast(cast(12.345 as decimal(9,3)) as sql_variant)", "12.345", "09030139300000000000000000000000000000"},
        {"select cast(cast(-123456789012345678901234.5 as numeric(30,1)) as sql_variant)", "-123456789012345678901234.5",
         "1e010079dfe23d44a6360f6e05010000000000"},
        {"select cast(2.5 as sql_variant)", "2.5", "02010119000000000000000000000000000000"},
        {"select cast(cast(-5.25 as money) as sql_variant)", "-5.2500", "ffffffffec32ffff"},
        {"select cast(cast(1.25 as smallmoney) as sql_variant)", "1.2500", "d4300000"},
        {"select cast(cast('2011-12-04 10:04:23.123' as datetime) as sql_variant)", "2011-12-04 10:04:23.123", "af9f0000d9ffa500"},
        {"select cast(cast('2011-12-04 10:04' as smalldatetime) as sql_variant)", "2011-12-04 10:04:00", "af9f5c02"},
        {"select cast(cast('2011-12-04' as date) as sql_variant)", "2011-12-04", "db070c000400"},
        {"select cast(cast('2011-12-04 10:04:23.1234567' as datetime2) as sql_variant)", "2011-12-04 10:04:23.1234567",
         "db070c0004000a0004001700bccc5b07"},
        {"select cast(cast('10:04:23.12' as time(2)) as sql_variant)", "10:04:23.12", "0a00040017000000000e2707"},
        {"select convert(sql_variant, cast(7 as smallint))", "7", "0700"},
        {"select cast(d as sql_variant) from vb", "12.345", "09030139300000000000000000000000000000"},
        {"select cast(t as sql_variant) from vb", "2011-12-04 10:04:23.123", "af9f0000d9ffa500"},
        // A UNION of variants of different base types: each row keeps its own.
        {"select cast(cast(1.5 as decimal(5,2)) as sql_variant) union all select cast(t as sql_variant) from vb", "1.50",
         "05020196000000000000000000000000000000"},
        {"select cast(t as sql_variant) as v from vb union all select cast(2.5 as sql_variant) union all select cast(7 as sql_variant)",
         "2011-12-04 10:04:23.123", "af9f0000d9ffa500"},
        {"select v from vc where k = 1", "12.345", "09030139300000000000000000000000000000"},
        {"select v from vc where k = 2", "5", "05000000"},
        {"select v from vc where k = 3", "2011-12-04 10:04:23.123", "af9f0000d9ffa500"},
        {"select v from vc where k = 4", "12.345", "09030139300000000000000000000000000000"},
        {"select v from vc where k = 5", "-5.2500", "ffffffffec32ffff"},
        // ... and compares by its value.
        {"select v from vc where v = cast('2011-12-04 10:04:23.123' as datetime) and k > 1", "2011-12-04 10:04:23.123", "af9f0000d9ffa500"},
        {"select top 1 v from vc where v > 12 and v < 12.5 order by k desc", "12.345", "09030139300000000000000000000000000000"},
        // So does a UNION of variants in a derived table or a common table expression.
        {"select top 1 v from (select cast(cast(1.5 as decimal(5,2)) as sql_variant) as v union all select cast(t as sql_variant) from vb) d",
         "1.50", "05020196000000000000000000000000000000"},
        {"with u as (select cast(t as sql_variant) as v from vb union all select cast(2 as sql_variant)) select top 1 v from u",
         "2011-12-04 10:04:23.123", "af9f0000d9ffa500"},
        // A variable keeps the base type of the value last assigned to it.
        {"declare @v sql_variant = cast(12.345 as decimal(9,3)) select @v", "12.345", "09030139300000000000000000000000000000"},
        {"declare @v sql_variant = 1 set @v = cast(-5.25 as money) select @v", "-5.2500", "ffffffffec32ffff"},
        {"declare @v sql_variant select top 1 @v = t from vb select @v", "2011-12-04 10:04:23.123", "af9f0000d9ffa500"},
        // SQL_VARIANT_PROPERTY: a sysname for BaseType and Collation, an int for the others.
        {"select sql_variant_property(cast(cast(12.345 as decimal(9,3)) as sql_variant), 'BaseType')", "decimal",
         "64006500630069006d0061006c00"},
        {"select sql_variant_property(cast(12.345 as decimal(9,3)), 'Precision')", "9", "09000000"},
        {"select sql_variant_property(cast(t as sql_variant), 'Scale') from vb", "3", "03000000"},
        {"select sql_variant_property(cast(N'abc' as sql_variant), 'TotalBytes')", "15", "0f000000"},
        {"select sql_variant_property(cast('abc' as varchar(5)), 'MaxLength')", "5", "05000000"},
        {"select sql_variant_property(cast('abc' as varchar(5)), 'Collation')", "SQL_Latin1_General_CP1_CI_AS",
         "530051004c005f004c006100740069006e0031005f00470065006e006500720061006c005f004300500031005f00430049005f0041005300"},
        {"select sql_variant_property(serverproperty('EngineEdition'), 'BaseType')", "int", "69006e007400"},
        {"declare @v sql_variant = cast('2011-12-04' as date) select sql_variant_property(@v, 'BaseType')", "date", "6400610074006500"},
    };
    for (const auto& k : cases) {
        const std::string sql = k.sql;
        const OdbcRun text = c.Run(sql), binary = c.Run(sql, true);
        ASSERT_FALSE(text.results.empty() || text.results.back().rows.empty() || binary.results.empty() ||
                     binary.results.back().rows.empty())
            << sql;
        EXPECT_EQ(text.results.back().types.at(0), -150) << sql;  // SQL_SS_VARIANT
        EXPECT_EQ(text.results.back().rows[0].at(0), k.text) << sql;
        EXPECT_EQ(binary.results.back().rows[0].at(0), k.binary) << sql;
    }
    // Converted, a variant is its value.
    const OdbcRun converted = c.Run("select convert(varchar(23), v, 121) + '|' + convert(varchar(10), v, 112) + '|' + "
                                    "(select cast(convert(decimal(9,1), v) as varchar) from vc where k = 1) from vc where k = 3");
    ASSERT_FALSE(converted.results.empty() || converted.results.back().rows.empty());
    EXPECT_EQ(converted.results.back().rows[0].at(0), "2011-12-04 10:04:23.123|20111204|12.3");
}

// varchar, char and text keep and send their text in the code page of their collation (the
// column's own, or the database's), named in the column's metadata; a character the code page
// lacks becomes '?' when it is stored.
TEST(SandboxFidelity, CharacterColumnsTakeTheirCollationsCodePage) {
    SandboxProcess server(false);
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(server.OdbcConnectionString()));
    ASSERT_TRUE(c.Run("create database cyr collate Cyrillic_General_CI_AS").ok);
    ASSERT_TRUE(c.Run("use cyr").ok);
    ASSERT_TRUE(c.Run("create table t (dflt varchar(12), gr char(6) collate Greek_CI_AS, pl varchar(9) collate Polish_CI_AS, "
                      "la varchar(9) collate SQL_Latin1_General_CP1_CI_AS, tx text) "
                      "insert into t values (N'Жук и ёж', N'Ωμέγα中', "
                      "N'Łódź', N'Жук', N'Текст')")
                    .ok);
    // Columns added later take their collation (or the database's) and are in the catalog.
    ASSERT_TRUE(c.Run("alter table t add ad varchar(9) collate Greek_CI_AS, ac varchar(5), am money").ok);
    ASSERT_TRUE(c.Run("update t set ad = N'Ωμέγα中', ac = N'Ёж', am = 1").ok);
    // Double-byte code pages: a character takes one or two bytes, and char(n) and varchar(n) count bytes.
    ASSERT_TRUE(c.Run("create table dbcs (j varchar(6) collate Japanese_CI_AS, c char(5) collate Chinese_PRC_CI_AS, "
                      "k varchar(9) collate Korean_Wansung_CI_AS, tw varchar(9) collate Chinese_Taiwan_Stroke_CI_AS) "
                      "insert into dbcs values (N'日本語', N'中文', N'한국\xF0\x9F\x98\x80', N'中文繁體')")
                    .ok);
    const struct {
        const char* expr;
        const char* value;
    } cases[] = {
        {"ad from t", "Ωμέγα?"},
        {"ac from t", "Ёж"},
        {"collation_name from sys.columns where object_id = object_id('t') and name = 'ad'", "Greek_CI_AS"},
        {"cast(collation as varchar(30)) + '/' + cast(length as varchar) from syscolumns where id = object_id('t') and colid = 7",
         "Cyrillic_General_CI_AS/5"},
        {"cast(system_type_id as varchar) + '/' + cast(max_length as varchar) from sys.columns where object_id = object_id('t') and name = 'am'",
         "60/8"},
        {"j from dbcs", "日本語"},
        {"c from dbcs", "中文 "},
        {"k from dbcs", "한국?"},
        {"tw from dbcs", "中文繁體"},
        {"dflt from t", "Жук и ёж"},
        {"gr from t", "Ωμέγα?"},
        {"pl from t", "Łódź"},
        {"la from t", "???"},
        {"tx from t", "Текст"},
        {"count(*) from t where gr = N'Ωμέγα?' and dflt = N'Жук и ёж'", "1"},
    };
    for (const auto& k : cases) {
        const std::string sql = std::string("select ") + k.expr;
        const OdbcRun run = c.Run(sql);
        ASSERT_FALSE(run.results.empty() || run.results[0].rows.empty()) << sql;
        EXPECT_EQ(run.results[0].rows[0].at(0), k.value) << sql;
    }
    EXPECT_TRUE(c.Run("insert into dbcs (j) values (N'日本語ｶ')").HasDiag(2628));
    EXPECT_TRUE(c.Run("create table bad (v varchar(5) collate Klingon_CI_AS)").HasDiag(448));
    EXPECT_TRUE(c.Run("create database bad collate Klingon_CI_AS").HasDiag(448));
}

// Columns of derived tables, VALUES lists, common table expressions and views are typed from their
// own select lists; a text column whose type cannot be seen is declared without a length limit, so
// that no later value is cut.
TEST(SandboxFidelity, DerivedColumnsKeepTheirTypes) {
    SandboxProcess server(false);
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(server.OdbcConnectionString()));
    ASSERT_TRUE(c.Run("create view vfid as select 'lit' + 'eral' as l, cast(1 as decimal(5,2)) * 2 as m, upper(N'ab') as u").ok);
    const struct {
        const char* sql;
        int sqlType;
        long long size;
        const char* value;
    } cases[] = {
        {"select x.w as v from (select 1.5 as w union all select 2) x order by v", SQL_NUMERIC, 11, "1.5"},
        {"select e as v from (values (1, 'one'), (2, 'three')) d(id, e) where id = 1", SQL_VARCHAR, 5, "one"},
        {"with c(a) as (select N'xy' union all select N'longer') select a as v from c order by a desc", SQL_WVARCHAR, 6, "xy"},
        {"with c as (select cast(3 as bigint) as b), d as (select b + 1 as n from c) select n as v from d", SQL_BIGINT, -1, "4"},
        {"select * from (select * from (select cast('2001-01-01' as date) as v) i) o", SQL_TYPE_DATE, -1, "2001-01-01"},
        {"select m as v from vfid", SQL_NUMERIC, 16, "2.00"},
        {"select * from vfid", SQL_VARCHAR, 7, "literal"},
        {"select u as v from vfid", SQL_WVARCHAR, 2, "AB"},
    };
    for (const auto& k : cases) {
        const OdbcRun run = c.Run(k.sql);
        ASSERT_FALSE(run.results.empty()) << k.sql;
        const OdbcResult& r = run.results.back();
        ASSERT_FALSE(r.rows.empty()) << k.sql;
        EXPECT_EQ(r.types.at(0), k.sqlType) << k.sql;
        if (k.size >= 0) {
            EXPECT_EQ(r.sizes.at(0), k.size) << k.sql;
        }
        EXPECT_EQ(r.rows[0].at(0), k.value) << k.sql;
    }
    // A function whose result type is not seen (REPLACE): the first value is short, a later one long.
    const OdbcRun unseen =
        c.Run("select replace(replicate(cast(N'x' as nvarchar(max)), n), N'x', N'x') as v from (values (1), (5000)) t(n) order by n");
    ASSERT_EQ(unseen.results.size(), 1u);
    ASSERT_EQ(unseen.results[0].rows.size(), 2u);
    EXPECT_EQ(unseen.results[0].rows[1].at(0), std::string(5000, 'x'));
    const OdbcRun branch = c.Run("select 'a' as v union all select replicate('y', 4500)");
    ASSERT_EQ(branch.results.size(), 1u);
    ASSERT_EQ(branch.results[0].rows.size(), 2u);
    EXPECT_EQ(branch.results[0].rows[1].at(0), std::string(4500, 'y'));
}

// A literal is a value that cannot be NULL; a column that allows NULL says so.
TEST(SandboxFidelity, Nullability) {
    SandboxProcess server(false);
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(server.OdbcConnectionString()));
    const OdbcRun run = c.Run("create table #n (a int not null, b int null) insert into #n values (1, 2) select 12 as v, 'x' as w, a, b from #n");
    ASSERT_FALSE(run.results.empty());
    EXPECT_EQ(run.results.back().types.at(0), SQL_INTEGER);
    EXPECT_EQ(run.results.back().nullables, (std::vector<int>{SQL_NO_NULLS, SQL_NO_NULLS, SQL_NO_NULLS, SQL_NULLABLE}));
}

TEST(SandboxFidelity, FatalErrorEndsTheConnection) {
    SandboxProcess server(false);
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(server.OdbcConnectionString()));
    const OdbcRun fatal = c.Run("raiserror('the end', 20, 1) with log");
    EXPECT_TRUE(fatal.HasDiag(50000));
    const OdbcRun after = c.Run("select 1 as v");
    EXPECT_TRUE(after.results.empty()) << "the connection is closed";
    OdbcProbe fresh;
    ASSERT_TRUE(fresh.Connect(server.OdbcConnectionString()));
    EXPECT_EQ(fresh.Run("select 1 as v").results.size(), 1u);
}

// Each statement ends on its own, so counts and messages belong to the statement that made them:
// inserts and assignments report their rows, a PRINT its message; a bare DECLARE or CREATE reports nothing.
TEST(SandboxFidelity, EachStatementEndsOnItsOwn) {
    SandboxProcess server(false);
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(server.OdbcConnectionString()));
    const OdbcRun run = c.Run(
        "create table #d (g int primary key, v int) insert into #d values (1, 1) insert into #d values (2, null) "
        "declare @n int select @n = count(*) from #d where g > 0 print 'p' declare @x int = 5 set @x = @x + 1 "
        "select g, (select sum(v) from #d i where i.g = o.g) as s from #d o");
    ASSERT_EQ(run.results.size(), 7u);
    for (size_t k : {0, 1, 2, 4, 5}) EXPECT_EQ(run.results[k].rowCount, 1) << k;
    EXPECT_TRUE(run.results[3].names.empty()) << "the PRINT ends on its own";
    EXPECT_EQ(run.results[6].rows.size(), 2u);
    // The warning of the aggregate arrives with the row whose sum skipped the NULL.
    bool warned = false;
    for (const auto& d : run.diags)
        if (d.native == 8153) {
            warned = true;
            EXPECT_EQ(d.fetchRow, 1);
            EXPECT_EQ(d.text.substr(d.text.rfind(']') + 1), "Warning: Null value is eliminated by an aggregate or other SET operation.");
        }
    EXPECT_TRUE(warned);
    EXPECT_TRUE(run.HasDiag(0)) << "the PRINT";

    // SET NOCOUNT ON drops the counts but not the ends; ANSI_WARNINGS OFF drops the warning.
    const OdbcRun quiet = c.Run("set nocount on set ansi_warnings off declare @y int = 1 select @y = sum(v) from #d select @y as v");
    ASSERT_EQ(quiet.results.size(), 1u);
    EXPECT_EQ(quiet.results[0].rows.at(0).at(0), "1");
    EXPECT_FALSE(quiet.HasDiag(8153));

    // SET NOCOUNT inside a procedure lasts until it returns.
    c.Run("set nocount off set ansi_warnings on");
    ASSERT_TRUE(c.Run("create procedure quiet_proc as set nocount on select 1 as v").ok);
    const OdbcRun after = c.Run("exec quiet_proc select @@options & 512 as nocount insert into #d values (3, 3)");
    ASSERT_EQ(after.results.size(), 3u);
    EXPECT_EQ(after.results[1].rows.at(0).at(0), "0");
    EXPECT_EQ(after.results[2].rowCount, 1);
}

// SET LANGUAGE brings its date order and first day of the week; @@LANGUAGE names it.
TEST(SandboxFidelity, LanguageSetsDateOrder) {
    SandboxProcess server(false);
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(server.OdbcConnectionString()));
    const OdbcRun british = c.Run("set language british");
    EXPECT_TRUE(british.HasDiag(5703));
    const OdbcRun values = c.Run("select @@language as l, @@datefirst as f, cast('12/4/2011' as date) as d");
    ASSERT_EQ(values.results.size(), 1u);
    EXPECT_EQ(values.results[0].rows.at(0), (std::vector<std::string>{"British", "1", "2011-04-12"}));
    const OdbcRun monday = c.Run("select datepart(weekday, '20010101') as w");
    ASSERT_EQ(monday.results.size(), 1u);
    EXPECT_EQ(monday.results[0].rows.at(0).at(0), "1") << "the British week starts on Monday";
    EXPECT_TRUE(c.Run("select cast('12/31/2011' as date) as d").HasDiag(241));
    EXPECT_TRUE(c.Run("set language klingon").HasDiag(2732));
    c.Run("set language us_english");
    const OdbcRun us = c.Run("select @@language as l, @@datefirst as f, cast('12/4/2011' as date) as d");
    ASSERT_EQ(us.results.size(), 1u);
    EXPECT_EQ(us.results[0].rows.at(0), (std::vector<std::string>{"us_english", "7", "2011-12-04"}));
}

// Temporary procedures belong to their session like temporary tables; a global table is shared and
// goes with the session that made it; tempdb is there to use and to query.
TEST(SandboxFidelity, TemporaryObjectsAndTempdb) {
    SandboxProcess server(false);
    auto a = std::make_unique<OdbcProbe>();
    OdbcProbe b;
    ASSERT_TRUE(a->Connect(server.OdbcConnectionString()));
    ASSERT_TRUE(b.Connect(server.OdbcConnectionString()));
    auto first = [](const OdbcRun& run) { return run.results.empty() || run.results[0].rows.empty() ? "" : run.results[0].rows[0].at(0); };
    ASSERT_TRUE(a->Run("create procedure #p as select 1 as v").ok);
    EXPECT_EQ(first(a->Run("exec #p")), "1");
    EXPECT_TRUE(b.Run("exec #p").HasDiag(2812)) << "another session does not see it";
    ASSERT_TRUE(b.Run("create procedure #p as select 2 as v").ok);
    EXPECT_EQ(first(b.Run("exec #p")), "2");
    ASSERT_TRUE(a->Run("create table ##g (v int) insert into ##g values (5)").ok);
    EXPECT_EQ(first(b.Run("select v from ##g")), "5");
    a.reset();
    for (int tries = 0; tries < 100 && !b.Run("select v from ##g").HasDiag(208); ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(b.Run("select v from ##g").HasDiag(208)) << "gone with its creator";

    EXPECT_EQ(first(b.Run("select db_id('tempdb') as v")), "2");
    EXPECT_EQ(first(b.Run("select count(*) as v from tempdb..sysobjects where xtype = 'U'")), "0");
    EXPECT_TRUE(b.Run("use tempdb").HasDiag(5701));
    EXPECT_EQ(first(b.Run("select db_name() as v")), "tempdb");
}

// Errors carry SQL Server's numbers and words, whatever SQLite said.
TEST(SandboxFidelity, ErrorsInServerWords) {
    SandboxProcess server(false);
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(server.OdbcConnectionString()));
    ASSERT_TRUE(c.Run("create table #u (k int primary key, c varchar(5) unique, d int) insert into #u values (1, 'a', 1)").ok);
    const struct {
        const char* sql;
        long number;
        const char* text;
    } cases[] = {
        {"insert into #u values (1, 'b', 2)", 2627, "Violation of PRIMARY KEY constraint 'PK_#u'. Cannot insert duplicate key in object 'dbo.#u'."},
        {"insert into #u values (2, 'a', 2)", 2627, "Violation of UNIQUE KEY constraint 'UQ_#u_c'. Cannot insert duplicate key in object 'dbo.#u'."},
        {"create unique index ix_d on #u (d) insert into #u values (3, 'c', 1)", 2601,
         "Cannot insert duplicate key row in object 'dbo.#u' with unique index 'ix_d'."},
        {"insert into #u values (4)", 213, "Column name or number of supplied values does not match table definition."},
        {"drop table #nothere", 3701, nullptr},
        {"select cast('a' as money)", 235, "Cannot convert a char value to money. The char value has incorrect syntax."},
        {"select 'a' * 2.5", 8114, "Error converting data type varchar to numeric."},
        {"select 9.99 * '9.999'", 8115, "Arithmetic overflow error converting varchar to data type numeric."},
        // SQLite's own failures in SQL Server's words.
        {"select k from #u order by 3", 108, nullptr},
        {"select k from #u union select d from #u order by c", 104, nullptr},
        {"select k, c from #u union select d from #u", 205, nullptr},
        {"select k from #u where count(*) > 1", 147, nullptr},
        {"select k from #u where k in (select k, d from #u)", 116, nullptr},
    };
    for (const auto& k : cases) {
        const OdbcRun run = c.Run(k.sql);
        bool found = false;
        for (const auto& d : run.diags) {
            if (d.native != k.number) continue;
            found = true;
            if (k.text) {
                EXPECT_EQ(d.text.substr(d.text.rfind(']') + 1), k.text) << k.sql;
            }
            EXPECT_EQ(d.text.find('"'), std::string::npos) << d.text;
        }
        EXPECT_TRUE(found) << k.sql << (run.diags.empty() ? "" : " " + run.diags[0].text);
    }
}

// The catalog procedures ODBC drivers call, and a bare name as a procedure's argument.
TEST(SandboxFidelity, CatalogProcedures) {
    SandboxProcess server(true);
    OdbcProbe c;
    ASSERT_TRUE(c.Connect(server.OdbcConnectionString("sa", SandboxProcess::Password(), "demo")));
    const OdbcRun tables = c.Run("exec sp_tables @table_name = 'Prod%', @table_type = \"'TABLE'\"");
    ASSERT_EQ(tables.results.size(), 1u);
    EXPECT_EQ(tables.results[0].names, (std::vector<std::string>{"TABLE_QUALIFIER", "TABLE_OWNER", "TABLE_NAME", "TABLE_TYPE", "REMARKS"}));
    EXPECT_EQ(tables.results[0].rows, (std::vector<std::vector<std::string>>{{"demo", "dbo", "Products", "TABLE", "<NULL>"}}));
    const OdbcRun columns = c.Run("exec sp_columns Products");
    ASSERT_EQ(columns.results.size(), 1u);
    ASSERT_EQ(columns.results[0].rows.size(), 5u);
    EXPECT_EQ(columns.results[0].names.size(), 19u);
    const auto& id = columns.results[0].rows[0];
    EXPECT_EQ((std::vector<std::string>{id[3], id[4], id[5], id[16]}), (std::vector<std::string>{"ProductID", "4", "int", "1"}));
    const OdbcRun types = c.Run("exec sp_datatype_info 4");
    ASSERT_EQ(types.results.size(), 1u);
    ASSERT_EQ(types.results[0].rows.size(), 1u);
    EXPECT_EQ(types.results[0].rows[0].at(0), "int");
    // The catalog views and OBJECT_DEFINITION with SQL Server's types.
    const OdbcRun indexes = c.Run(
        "select i.name, i.type, i.is_unique, object_definition(object_id('dbo.GetCustomerOrders')) from [sys].[indexes] i "
        "join sys.tables t on t.object_id = i.object_id where t.name = 'Orders'");
    ASSERT_EQ(indexes.results.size(), 1u);
    EXPECT_EQ(indexes.results[0].types, (std::vector<int>{SQL_WVARCHAR, SQL_TINYINT, SQL_BIT, SQL_WVARCHAR}));
    EXPECT_EQ(indexes.results[0].sizes.at(0), 128);
    EXPECT_EQ(indexes.results[0].sizes.at(3), 0) << "nvarchar(max)";
    ASSERT_EQ(indexes.results[0].rows.size(), 1u);
    EXPECT_EQ(indexes.results[0].rows[0].at(3).rfind("CREATE PROCEDURE GetCustomerOrders", 0), 0u);
}

// The system procedures through the driver: sp_help's result sets in order with their types, the
// references to a table, messages by number, a rename the next statement sees, and the sessions.
TEST(SandboxFidelity, SystemProcedures) {
    SandboxProcess server(true);
    OdbcProbe c, other;
    ASSERT_TRUE(c.Connect(server.OdbcConnectionString("sa", SandboxProcess::Password(), "demo")));
    ASSERT_TRUE(other.Connect(server.OdbcConnectionString()));
    auto sets = [](const OdbcRun& run) {
        std::vector<OdbcResult> out;
        for (const auto& r : run.results)
            if (!r.names.empty()) out.push_back(r);
        return out;
    };
    const OdbcRun help = c.Run("exec sp_help 'dbo.Products'");
    const auto parts = sets(help);
    ASSERT_EQ(parts.size(), 8u);
    EXPECT_EQ(parts[0].names, (std::vector<std::string>{"Name", "Owner", "Type", "Created_datetime"}));
    EXPECT_EQ(parts[0].types.at(3), SQL_TYPE_TIMESTAMP);
    EXPECT_EQ(parts[1].names.at(9), "Collation");
    EXPECT_EQ(parts[1].rows.at(3), (std::vector<std::string>{"UnitPrice", "decimal", "no", "9", "10   ", "2    ", "no", "(n/a)", "(n/a)", "<NULL>"}));
    EXPECT_EQ(parts[2].rows.at(0), (std::vector<std::string>{"ProductID", "1", "1", "0"}));
    EXPECT_EQ(parts[2].types.at(1), SQL_NUMERIC);
    EXPECT_EQ(parts[4].rows.at(0).at(0), "PRIMARY");
    EXPECT_EQ(parts[5].names, (std::vector<std::string>{"index_name", "index_description", "index_keys"}));
    EXPECT_EQ(parts[6].names.at(0), "constraint_type");
    EXPECT_FALSE(help.HasDiag(15470)) << "OrderLines references Products";
    EXPECT_EQ(parts[7].names.at(0), "Table is referenced by foreign key");
    EXPECT_EQ(parts[7].rows.at(0).at(0).rfind("demo.dbo.OrderLines: FK__OrderLine__Produ__", 0), 0u) << parts[7].rows.at(0).at(0);

    const OdbcRun missing = c.Run("exec sp_helptext NoSuchThing");
    ASSERT_TRUE(missing.HasDiag(15009));
    EXPECT_NE(missing.diags.at(0).text.find("The object 'NoSuchThing' does not exist in database 'demo' or is invalid for this operation."),
              std::string::npos);
    ASSERT_TRUE(c.Run("create table Scratch (k int)").ok);
    const OdbcRun rename = c.Run("exec sp_rename N'Scratch', N'Kept'");
    EXPECT_TRUE(rename.ok);
    ASSERT_TRUE(rename.HasDiag(15477));
    EXPECT_TRUE(c.Run("insert Kept values (1)").ok);
    EXPECT_TRUE(c.Run("select k from Scratch").HasDiag(208));

    const auto who = sets(c.Run("exec sp_who"));
    ASSERT_EQ(who.size(), 1u);
    EXPECT_EQ(who[0].names, (std::vector<std::string>{"spid", "ecid", "status", "loginame", "hostname", "blk", "dbname", "cmd", "request_id"}));
    EXPECT_EQ(who[0].types.at(4), SQL_WCHAR);
    ASSERT_EQ(who[0].rows.size(), 2u);
    std::vector<std::string> dbs;
    for (const auto& r : who[0].rows) dbs.push_back(r.at(6));
    std::sort(dbs.begin(), dbs.end());
    EXPECT_EQ(dbs, (std::vector<std::string>{"demo", "master"}));
    const auto databases = sets(c.Run("exec sp_databases"));
    ASSERT_EQ(databases.size(), 1u);
    EXPECT_EQ(databases[0].rows.at(0).at(0), "demo");
}

}  // namespace
