// The catalog views read by hand, driven without a socket: OBJECT_DEFINITION and sys.sql_modules,
// sys.indexes and sys.index_columns, the constraint views and sys.objects with the key constraints,
// sys.types, sys.triggers, sys.parameters and sys.identity_columns, over a small schema with one of
// each thing.
#include "ServerState.h"
#include "Session.h"
#include "sandbox_sink.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace {

using Rows = std::vector<std::string>;

const std::vector<std::string> kSchema = {
    "CREATE TABLE Parent (ParentID int IDENTITY(10, 5) NOT NULL CONSTRAINT PK_Parent PRIMARY KEY, Code varchar(10) NOT NULL UNIQUE, "
    "Name nvarchar(40) NULL CONSTRAINT UQ_Parent_Name UNIQUE)",
    "CREATE TABLE Child (ChildID int NOT NULL PRIMARY KEY NONCLUSTERED, ParentID int NOT NULL, "
    "Qty smallint NOT NULL CONSTRAINT DF_Child_Qty DEFAULT (1) CONSTRAINT CK_Child_Qty CHECK (Qty > 0), Note varchar(20) NULL DEFAULT ('none'), "
    "CONSTRAINT FK_Child_Parent FOREIGN KEY (ParentID) REFERENCES Parent (ParentID) ON DELETE CASCADE)",
    "CREATE CLUSTERED INDEX IX_Child_Parent ON Child (ParentID, Qty DESC)",
    "CREATE INDEX IX_Child_Note ON Child (Note)",
    "CREATE TABLE Loose (a int NULL, b int NULL, CONSTRAINT UQ_Loose_a UNIQUE (a))",
    "CREATE UNIQUE INDEX UX_Loose ON Loose (b)",
    "EXEC sp_addtype Code6, 'varchar(6)', 'NOT NULL'",
    "CREATE PROCEDURE AddChild @ParentID int, @Qty smallint = 1, @NewID int OUTPUT AS SELECT @NewID = 1",
    "CREATE FUNCTION Twice (@n decimal(9,2)) RETURNS decimal(10,2) AS BEGIN RETURN @n * 2 END",
    "CREATE VIEW vParent WITH SCHEMABINDING AS SELECT ParentID, Name FROM dbo.Parent",
    "CREATE TRIGGER trChild ON Child AFTER INSERT AS SET NOCOUNT ON",
    "CREATE TRIGGER trvParent ON vParent INSTEAD OF INSERT AS SET NOCOUNT ON",
};

class SandboxCatalogViews : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tolvan-catviews-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        server_ = std::make_unique<ServerState>(dir_, "pw", "TEST");
        server_->CreateDatabase("shop");
        session_ = std::make_unique<Session>(*server_, sink_, [] { return false; });
        std::string error;
        ASSERT_TRUE(session_->Open("shop", error)) << error;
        for (const auto& b : kSchema) {
            session_->RunBatch(b);
            for (const auto& e : sink_.Take()) ASSERT_NE(e.rfind("error", 0), 0u) << b << "\n" << e;
        }
    }
    void TearDown() override {
        session_.reset();
        server_.reset();
        std::filesystem::remove_all(dir_);
    }
    // The rows of a query, each "a|b|c", with the hex SQL Server puts in names it makes up shown as #.
    Rows Query(const std::string& sql, std::string* columns = nullptr, bool keepHex = false) {
        session_->RunBatch(sql);
        Rows out;
        static const std::regex hex("__[0-9A-F]{8,16}");
        for (auto& e : sink_.Take()) {
            if (e.rfind("error", 0) == 0) ADD_FAILURE() << sql << "\n" << e;
            if (columns && e.rfind("columns ", 0) == 0) *columns = e.substr(8);
            if (e.rfind("row ", 0) != 0) continue;
            std::string row = keepHex ? e.substr(4) : std::regex_replace(e.substr(4), hex, "__#");
            for (char& c : row)
                if (c == ' ') c = '|';
            out.push_back(row);
        }
        return out;
    }

    // The messages of a batch expected to fail.
    Rows Errors(const std::string& sql) {
        session_->RunBatch(sql);
        Rows out;
        for (auto& e : sink_.Take())
            if (e.rfind("error", 0) == 0) out.push_back(e);
        return out;
    }

    std::string dir_;
    RecordingSink sink_;
    std::unique_ptr<ServerState> server_;
    std::unique_ptr<Session> session_;
};

TEST_F(SandboxCatalogViews, ModulesAndTheirDefinitions) {
    std::string columns;
    EXPECT_EQ(Query("SELECT OBJECT_DEFINITION(OBJECT_ID('dbo.Twice')) AS d, OBJECT_DEFINITION(OBJECT_ID('Parent')), OBJECT_DEFINITION(-1), "
                    "OBJECT_DEFINITION(OBJECT_ID('CK_Child_Qty'))",
                    &columns),
              Rows{"CREATE|FUNCTION|Twice|(@n|decimal(9,2))|RETURNS|decimal(10,2)|AS|BEGIN|RETURN|@n|*|2|END|NULL|NULL|(Qty|>|0)"});
    EXPECT_EQ(columns.substr(0, columns.find(' ')), "d:nvarchar(max)");
    Query("CREATE RULE Positive AS @v > 0");
    EXPECT_EQ(Query("SELECT type_desc, OBJECT_DEFINITION(object_id) FROM sys.objects WHERE name = 'Positive'"),
              Rows{"RULE|CREATE|RULE|Positive|AS|@v|>|0"});
    EXPECT_EQ(Query("SELECT OBJECT_NAME(object_id), is_schema_bound, uses_ansi_nulls, uses_quoted_identifier, LEFT(definition, 12) "
                    "FROM sys.sql_modules ORDER BY 1"),
              (Rows{"AddChild|0|1|1|CREATE|PROCE", "Positive|0|1|1|CREATE|RULE|", "trChild|0|1|1|CREATE|TRIGG", "trvParent|0|1|1|CREATE|TRIGG",
                    "Twice|0|1|1|CREATE|FUNCT", "vParent|1|1|1|CREATE|VIEW|"}));
}

TEST_F(SandboxCatalogViews, IndexesAndTheirColumns) {
    std::string columns;
    // Every spelling of the name, joined with sys.tables.
    for (const char* from : {"sys.indexes", "[sys].[indexes]", "SYS.INDEXES", "shop.sys.indexes"})
        EXPECT_EQ(Query(std::string("SELECT t.name, i.name, i.index_id, i.type, i.type_desc, i.is_unique, i.is_primary_key, i.is_unique_constraint "
                                    "FROM ") +
                            from + " i JOIN sys.tables t ON t.object_id = i.object_id ORDER BY t.name, i.index_id",
                        &columns),
                  (Rows{"Child|IX_Child_Parent|1|1|CLUSTERED|0|0|0", "Child|PK__Child__#|2|2|NONCLUSTERED|1|1|0", "Child|IX_Child_Note|3|2|NONCLUSTERED|0|0|0",
                        "Loose|NULL|0|0|HEAP|0|0|0", "Loose|UQ_Loose_a|2|2|NONCLUSTERED|1|0|1", "Loose|UX_Loose|3|2|NONCLUSTERED|1|0|0",
                        "Parent|PK_Parent|1|1|CLUSTERED|1|1|0", "Parent|UQ__Parent__#|2|2|NONCLUSTERED|1|0|1",
                        "Parent|UQ_Parent_Name|3|2|NONCLUSTERED|1|0|1"}))
            << from;
    EXPECT_EQ(columns, "name:nvarchar(128) name:nvarchar(128) index_id:int type:tinyint type_desc:nvarchar(60) is_unique:bit is_primary_key:bit "
                       "is_unique_constraint:bit");
    EXPECT_EQ(Query("SELECT ic.index_id, ic.index_column_id, ic.key_ordinal, c.name, ic.is_descending_key, ic.is_included_column "
                    "FROM sys.index_columns ic JOIN sys.columns c ON c.object_id = ic.object_id AND c.column_id = ic.column_id "
                    "WHERE ic.object_id = OBJECT_ID('Child') ORDER BY ic.index_id, ic.key_ordinal"),
              (Rows{"1|1|1|ParentID|0|0", "1|2|2|Qty|1|0", "2|1|1|ChildID|0|0", "3|1|1|Note|0|0"}));
    // sp_helpindex and sys.indexes give the same names.
    const Rows help = Query("EXEC sp_helpindex Child");
    ASSERT_EQ(help.size(), 3u);
    EXPECT_EQ(help[2].rfind("PK__Child__#|nonclustered,|unique,|primary|key", 0), 0u) << help[2];
}

TEST_F(SandboxCatalogViews, ConstraintsAreObjectsOfTheirTable) {
    EXPECT_EQ(Query("SELECT type, name, type_desc FROM sys.objects WHERE parent_object_id = OBJECT_ID('Child') ORDER BY type, name"),
              (Rows{"C|CK_Child_Qty|CHECK_CONSTRAINT", "D|DF__Child__Note__#|DEFAULT_CONSTRAINT", "D|DF_Child_Qty|DEFAULT_CONSTRAINT",
                    "F|FK_Child_Parent|FOREIGN_KEY_CONSTRAINT", "PK|PK__Child__#|PRIMARY_KEY_CONSTRAINT", "TR|trChild|SQL_TRIGGER"}));
    EXPECT_EQ(Query("SELECT rtrim(xtype), name FROM sysobjects WHERE parent_obj = OBJECT_ID('Child') ORDER BY xtype, name"),
              (Rows{"C|CK_Child_Qty", "D|DF__Child__Note__#", "D|DF_Child_Qty", "F|FK_Child_Parent", "PK|PK__Child__#", "TR|trChild"}));
    // Their ids are their own, and OBJECT_ID and OBJECT_NAME know them.
    EXPECT_EQ(Query("SELECT count(*) - count(DISTINCT object_id) FROM sys.objects"), Rows{"0"});
    EXPECT_EQ(Query("SELECT name FROM sys.all_objects WHERE type = 'F'"), Rows{"FK_Child_Parent"});
    EXPECT_EQ(Query("SELECT OBJECT_NAME(OBJECT_ID('FK_Child_Parent')), OBJECT_NAME(OBJECT_ID('PK_Parent'))"), Rows{"FK_Child_Parent|PK_Parent"});
    EXPECT_EQ(Query("SELECT k.name, k.type, k.type_desc, k.unique_index_id, k.is_system_named, i.name FROM sys.key_constraints k "
                    "JOIN sys.indexes i ON i.object_id = k.parent_object_id AND i.index_id = k.unique_index_id "
                    "WHERE k.parent_object_id = OBJECT_ID('Parent') ORDER BY k.type"),
              (Rows{"PK_Parent|PK|PRIMARY_KEY_CONSTRAINT|1|0|PK_Parent", "UQ__Parent__#|UQ|UNIQUE_CONSTRAINT|2|1|UQ__Parent__#",
                    "UQ_Parent_Name|UQ|UNIQUE_CONSTRAINT|3|0|UQ_Parent_Name"}));
    // A key added later is one object: the same id in sys.objects, sys.key_constraints and OBJECT_ID.
    Query("ALTER TABLE Child ADD CONSTRAINT UQ_Child_Note UNIQUE (Note)");
    EXPECT_EQ(Query("SELECT o.type, o.type_desc, i.is_unique_constraint FROM sys.objects o JOIN sys.key_constraints k ON k.object_id = o.object_id "
                    "JOIN sys.indexes i ON i.object_id = k.parent_object_id AND i.index_id = k.unique_index_id "
                    "WHERE o.object_id = OBJECT_ID('UQ_Child_Note')"),
              Rows{"UQ|UNIQUE_CONSTRAINT|1"});
    EXPECT_EQ(Query("SELECT count(*) - count(DISTINCT object_id) FROM sys.objects"), Rows{"0"});
    // A key's index is dropped with its constraint only, wherever the key was written.
    for (const auto& [index, kind] : std::vector<std::pair<std::string, std::string>>{
             {"Parent.PK_Parent", "PRIMARY KEY"}, {"Parent.UQ_Parent_Name", "UNIQUE KEY"}, {"Child.UQ_Child_Note", "UNIQUE KEY"}})
        EXPECT_EQ(Errors("DROP INDEX " + index),
                  Rows{"error 3723 An explicit DROP INDEX is not allowed on index '" + index + "'. It is being used for " + kind +
                       " constraint enforcement."});
    EXPECT_EQ(Query("SELECT count(*) FROM sys.indexes WHERE name IN ('PK_Parent', 'UQ_Parent_Name', 'UQ_Child_Note')"), Rows{"3"});
    EXPECT_EQ(Errors("DROP INDEX IX_Child_Note ON Child"), Rows{});
    EXPECT_EQ(Query("SELECT count(*) FROM sys.indexes WHERE name = 'IX_Child_Note'"), Rows{"0"});
}

TEST_F(SandboxCatalogViews, ForeignKeysChecksAndDefaults) {
    const std::string fk =
        "SELECT name, OBJECT_NAME(parent_object_id), OBJECT_NAME(referenced_object_id), key_index_id, is_disabled, is_not_trusted, "
        "delete_referential_action, delete_referential_action_desc, update_referential_action, update_referential_action_desc, is_system_named "
        "FROM sys.foreign_keys";
    EXPECT_EQ(Query(fk), Rows{"FK_Child_Parent|Child|Parent|1|0|0|1|CASCADE|0|NO_ACTION|0"});
    EXPECT_EQ(Query("SELECT OBJECT_NAME(f.constraint_object_id), f.constraint_column_id, pc.name, rc.name FROM sys.foreign_key_columns f "
                    "JOIN sys.columns pc ON pc.object_id = f.parent_object_id AND pc.column_id = f.parent_column_id "
                    "JOIN sys.columns rc ON rc.object_id = f.referenced_object_id AND rc.column_id = f.referenced_column_id"),
              Rows{"FK_Child_Parent|1|ParentID|ParentID"});
    EXPECT_EQ(Query("SELECT name, OBJECT_NAME(parent_object_id), parent_column_id, definition, is_disabled, is_system_named FROM sys.check_constraints"),
              Rows{"CK_Child_Qty|Child|3|(Qty|>|0)|0|0"});
    EXPECT_EQ(Query("SELECT d.name, c.name, d.definition, d.is_system_named FROM sys.default_constraints d "
                    "JOIN sys.columns c ON c.object_id = d.parent_object_id AND c.column_id = d.parent_column_id ORDER BY c.name"),
              (Rows{"DF__Child__Note__#|Note|('none')|1", "DF_Child_Qty|Qty|((1))|0"}));
    Query("ALTER TABLE Child NOCHECK CONSTRAINT FK_Child_Parent; ALTER TABLE Child NOCHECK CONSTRAINT CK_Child_Qty");
    EXPECT_EQ(Query(fk), Rows{"FK_Child_Parent|Child|Parent|1|1|1|1|CASCADE|0|NO_ACTION|0"});
    EXPECT_EQ(Query("SELECT name, is_disabled FROM sys.check_constraints"), Rows{"CK_Child_Qty|1"});
    EXPECT_EQ(Query("SELECT o.name, o.type_desc FROM sys.objects o JOIN sys.foreign_keys f ON f.object_id = o.object_id"),
              Rows{"FK_Child_Parent|FOREIGN_KEY_CONSTRAINT"});
    EXPECT_EQ(Query("SELECT count(*) FROM sys.objects WHERE name = 'FK_Child_Parent'"), Rows{"1"});
    // Gone with its table.
    Query("DROP TABLE Child");
    EXPECT_EQ(Query("SELECT count(*) FROM sys.foreign_keys"), Rows{"0"});
    EXPECT_EQ(Query("SELECT count(*) FROM sys.objects WHERE type IN ('C', 'D', 'F') OR name LIKE 'PK[_][_]Child%'"), Rows{"0"});
}

// The name made up for an unnamed foreign key is the same before and after the table's
// constraints are lifted out of its CREATE TABLE (by NOCHECK here).
TEST_F(SandboxCatalogViews, UnnamedForeignKeyKeepsItsName) {
    Query("CREATE TABLE Other (o int NULL REFERENCES Parent (ParentID), p int NULL, FOREIGN KEY (p) REFERENCES Parent (ParentID))");
    const std::string names = "SELECT name FROM sys.foreign_keys WHERE parent_object_id = OBJECT_ID('Other') ORDER BY name";
    const Rows before = Query(names, nullptr, true);
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0].rfind("FK__Other__o__", 0), 0u) << before[0];
    EXPECT_EQ(before[1].rfind("FK__Other__p__", 0), 0u) << before[1];
    Query("ALTER TABLE Other NOCHECK CONSTRAINT ALL");
    EXPECT_EQ(Query(names, nullptr, true), before);
    EXPECT_EQ(Query("SELECT count(*) FROM sys.objects WHERE parent_object_id = OBJECT_ID('Other') AND type = 'F'"), Rows{"2"});
}

TEST_F(SandboxCatalogViews, TypesTriggersParametersAndIdentity) {
    EXPECT_EQ(Query("SELECT name, system_type_id, user_type_id, schema_id, max_length, is_nullable, is_user_defined FROM sys.types "
                    "WHERE name IN ('Code6', 'int', 'nvarchar', 'sysname') ORDER BY user_type_id"),
              (Rows{"int|56|56|4|4|1|0", "nvarchar|231|231|4|8000|1|0", "sysname|231|256|4|256|0|0", "Code6|167|257|1|6|0|1"}));
    EXPECT_EQ(Query("SELECT TYPE_NAME(user_type_id) FROM sys.types WHERE user_type_id = TYPE_ID('Code6')"), Rows{"Code6"});
    EXPECT_EQ(Query("SELECT name, OBJECT_NAME(parent_id), type, is_instead_of_trigger, is_disabled FROM sys.triggers ORDER BY name"),
              (Rows{"trChild|Child|TR|0|0", "trvParent|vParent|TR|1|0"}));
    EXPECT_EQ(Query("SELECT OBJECT_NAME(object_id), name, parameter_id, TYPE_NAME(user_type_id), max_length, precision, scale, is_output "
                    "FROM sys.parameters ORDER BY 1, 3"),
              (Rows{"AddChild|@ParentID|1|int|4|10|0|0", "AddChild|@Qty|2|smallint|2|5|0|0", "AddChild|@NewID|3|int|4|10|0|1",
                    "Twice||0|decimal|9|10|2|1", "Twice|@n|1|decimal|5|9|2|0"}));
    const std::string identity = "SELECT OBJECT_NAME(object_id), name, seed_value, increment_value, last_value FROM sys.identity_columns";
    EXPECT_EQ(Query(identity), Rows{"Parent|ParentID|10|5|NULL"});
    Query("INSERT Parent (Code) VALUES ('a'); INSERT Parent (Code) VALUES ('b')");
    EXPECT_EQ(Query(identity), Rows{"Parent|ParentID|10|5|15"});
}

}  // namespace
