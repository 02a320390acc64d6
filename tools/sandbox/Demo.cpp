// The demo database: a small shop with customers, products, orders and order lines, two views,
// procedures, a trigger, and a scalar and a table-valued function.
#include "ServerState.h"
#include "Session.h"

#include <cstdio>
#include <random>
#include <stdexcept>

namespace {

const char* const kFirst[] = {"Anna", "Bruno", "Clara", "David", "Elena", "Felix",  "Greta", "Hugo",   "Ines", "Jonas",  "Karin",  "Lukas",
                              "Maja", "Nils",  "Olga",  "Paul",  "Rosa",  "Stefan", "Tara",  "Ulrich", "Vera", "Walter", "Yasmin", "Zoran"};
const char* const kLast[] = {"Berg",   "Costa",    "Dahl",      "Eriksen", "Fischer", "Garcia", "Holm",   "Ivanova",
                             "Jensen", "Kowalski", "Lindqvist", "Moreau",  "Novak",   "Olsen",  "Petrov", "Quist",
                             "Rossi",  "Schmidt",  "Tanaka",    "Urban",   "Varga",   "Weber"};
const char* const kCities[][2] = {{"Oslo", "Norway"},    {"Lisbon", "Portugal"}, {"Vienna", "Austria"}, {"Lyon", "France"},
                                  {"Porto", "Portugal"}, {"Gdansk", "Poland"},   {"Malmö", "Sweden"},   {"Zürich", "Switzerland"},
                                  {"Brno", "Czechia"},   {"Tartu", "Estonia"}};
const char* const kProducts[][2] = {{"Espresso beans 1 kg", "Coffee"}, {"Filter coffee 500 g", "Coffee"},
                                    {"Green tea 100 g", "Tea"},        {"Earl Grey 250 g", "Tea"},
                                    {"Ceramic mug", "Kitchen"},        {"Glass teapot", "Kitchen"},
                                    {"Hand grinder", "Equipment"},     {"Pour-over kettle", "Equipment"},
                                    {"Milk frother", "Equipment"},     {"Paper filters (100)", "Supplies"},
                                    {"Cleaning tablets", "Supplies"},  {"Dark chocolate 70%", "Snacks"},
                                    {"Almond biscuits", "Snacks"},     {"Oat cookies", "Snacks"},
                                    {"Travel tumbler", "Kitchen"},     {"Chai spice mix", "Tea"},
                                    {"Decaf beans 500 g", "Coffee"},   {"Cold brew bottle", "Equipment"},
                                    {"Honey 350 g", "Snacks"},         {"Gift card", "Other"}};
const char* const kStatus[] = {"New", "Paid", "Shipped", "Delivered", "Cancelled"};

std::string Q(const std::string& s) { return SqlLiteral(s, "N"); }

// The demo's batches answer nobody.
class DiscardSink final : public ResultSink {
public:
    void Columns(const std::vector<SqlColumn>&) override { endsWithDone_ = false; }
    void Row(const std::vector<SqlColumn>&, const std::vector<SqlValue>&) override { endsWithDone_ = false; }
    void Done(DoneKind, std::uint16_t, std::uint16_t, std::uint64_t) override { endsWithDone_ = true; }
    void Message(bool, std::int32_t, std::uint8_t, std::uint8_t, std::string_view, std::string_view, std::string_view,
                 std::int32_t) override {
        endsWithDone_ = false;
    }
    void DatabaseChanged(std::string_view, std::string_view) override {}
    void Transaction(TranEvent, std::uint64_t) override {}
    void ReturnStatus(std::int32_t) override {}
    void ReturnValue(std::uint16_t, std::string_view, const SqlColumn&, const SqlValue&) override {}
    bool Failed() const override { return false; }
    bool EndsWithDone() const override { return endsWithDone_; }

private:
    bool endsWithDone_ = false;
};

}  // namespace

void CreateDemoDatabase(ServerState& server) {
    if (server.DatabaseExists("demo")) return;
    server.CreateDatabase("demo");
    DiscardSink sink;
    Session s(server, sink, [] { return false; });
    std::string error;
    if (!s.Open("demo", error)) throw std::runtime_error(error);
    auto run = [&](const std::string& sql) {
        s.ClearLastError();
        s.RunBatch(sql);
        if (s.LastError() != 0)
            throw std::runtime_error("demo batch failed (error " + std::to_string(s.LastError()) + "): " + sql.substr(0, 120));
    };
    run(R"(
CREATE TABLE Customers (
  CustomerID int IDENTITY(1,1) NOT NULL PRIMARY KEY,
  Name nvarchar(100) NOT NULL,
  City nvarchar(50) NULL,
  Country nvarchar(50) NULL,
  Email varchar(100) NULL,
  CreatedAt datetime NOT NULL DEFAULT (getdate()))
CREATE TABLE Products (
  ProductID int IDENTITY(1,1) NOT NULL PRIMARY KEY,
  Name nvarchar(100) NOT NULL,
  Category varchar(50) NOT NULL,
  UnitPrice decimal(10,2) NOT NULL,
  InStock bit NOT NULL DEFAULT 1)
CREATE TABLE Orders (
  OrderID int IDENTITY(1,1) NOT NULL PRIMARY KEY,
  CustomerID int NOT NULL REFERENCES Customers(CustomerID),
  OrderDate datetime NOT NULL,
  Status varchar(20) NOT NULL,
  Total money NULL)
CREATE TABLE OrderLines (
  OrderLineID int IDENTITY(1,1) NOT NULL PRIMARY KEY,
  OrderID int NOT NULL REFERENCES Orders(OrderID),
  ProductID int NOT NULL REFERENCES Products(ProductID),
  Quantity smallint NOT NULL CONSTRAINT CK_OrderLines_Quantity CHECK (Quantity > 0),
  UnitPrice decimal(10,2) NOT NULL)
)");
    std::mt19937 rawRng(2026);
    auto rng = [&rawRng]() { return static_cast<unsigned>(rawRng()); };
    std::string sql = "BEGIN TRAN\n";
    for (int i = 0; i < 200; ++i) {
        const std::string first = kFirst[rng() % std::size(kFirst)], last = kLast[rng() % std::size(kLast)];
        const auto& city = kCities[rng() % std::size(kCities)];
        char date[32];
        std::snprintf(date, sizeof date, "2024-%02u-%02u 09:%02u:00", 1 + rng() % 12, 1 + rng() % 28, rng() % 60);
        std::string mail = first + "." + last + std::to_string(i) + "@example.com";
        for (char& c : mail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        sql += "INSERT INTO Customers (Name, City, Country, Email, CreatedAt) VALUES (" + Q(first + " " + last) + ", " + Q(city[0]) + ", " +
               Q(city[1]) + ", '" + mail + "', '" + date + "')\n";
    }
    for (const auto& p : kProducts) {
        const unsigned cents = 150 + rng() % 4000;
        sql += "INSERT INTO Products (Name, Category, UnitPrice, InStock) VALUES (" + Q(p[0]) + ", '" + p[1] + "', " +
               std::to_string(cents / 100) + "." + (cents % 100 < 10 ? "0" : "") + std::to_string(cents % 100) + ", " +
               (rng() % 6 ? "1" : "0") + ")\n";
    }
    for (int o = 1; o <= 1000; ++o) {
        char date[32];
        std::snprintf(date, sizeof date, "2025-%02u-%02u %02u:%02u:%02u", 1 + rng() % 12, 1 + rng() % 28, 8 + rng() % 12, rng() % 60,
                      rng() % 60);
        sql += "INSERT INTO Orders (CustomerID, OrderDate, Status) VALUES (" + std::to_string(1 + rng() % 200) + ", '" + date + "', '" +
               kStatus[rng() % std::size(kStatus)] + "')\n";
        const unsigned lines = 1 + rng() % 4;
        for (unsigned l = 0; l < lines; ++l) {
            const unsigned product = 1 + rng() % static_cast<unsigned>(std::size(kProducts));
            sql += "INSERT INTO OrderLines (OrderID, ProductID, Quantity, UnitPrice) SELECT " + std::to_string(o) + ", ProductID, " +
                   std::to_string(1 + rng() % 5) + ", UnitPrice FROM Products WHERE ProductID = " + std::to_string(product) + "\n";
        }
    }
    sql += "UPDATE Orders SET Total = (SELECT SUM(Quantity * UnitPrice) FROM OrderLines l WHERE l.OrderID = Orders.OrderID)\nCOMMIT\n";
    run(sql);
    run(R"(CREATE VIEW vCustomerOrders AS
SELECT o.OrderID, c.Name AS Customer, c.City, o.OrderDate, o.Status, o.Total
FROM Orders o JOIN Customers c ON c.CustomerID = o.CustomerID)");
    run(R"(CREATE VIEW vProductSales AS
SELECT p.ProductID, p.Name, p.Category, SUM(l.Quantity) AS Units, SUM(l.Quantity * l.UnitPrice) AS Revenue
FROM Products p LEFT JOIN OrderLines l ON l.ProductID = p.ProductID
GROUP BY p.ProductID, p.Name, p.Category)");
    run(R"(CREATE VIEW [Sales/ByMonth] AS
SELECT year(OrderDate) AS SalesYear, month(OrderDate) AS SalesMonth, count(*) AS Orders, sum(Total) AS Total
FROM Orders
GROUP BY year(OrderDate), month(OrderDate))");
    run(R"(CREATE PROCEDURE GetCustomerOrders @CustomerID int
AS
BEGIN
  SET NOCOUNT ON
  SELECT OrderID, OrderDate, Status, Total FROM Orders WHERE CustomerID = @CustomerID ORDER BY OrderDate
END)");
    run(R"(CREATE PROCEDURE SetOrderStatus @OrderID int, @Status varchar(20)
AS
BEGIN
  IF @Status NOT IN ('New', 'Paid', 'Shipped', 'Delivered', 'Cancelled')
  BEGIN
    RAISERROR('Unknown order status %s.', 16, 1, @Status)
    RETURN 1
  END
  UPDATE Orders SET Status = @Status WHERE OrderID = @OrderID
  RETURN 0
END)");
    run(R"(CREATE TRIGGER trOrdersNoDelete ON Orders FOR DELETE
AS
BEGIN
  RAISERROR('Orders are cancelled, not deleted.', 16, 1)
  ROLLBACK TRANSACTION
END)");
    run(R"(CREATE FUNCTION fnOrderTotal (@OrderID int)
RETURNS money
AS
BEGIN
  RETURN (SELECT SUM(Quantity * UnitPrice) FROM OrderLines WHERE OrderID = @OrderID)
END)");
    run(R"(CREATE FUNCTION fnCustomerOrders (@CustomerID int)
RETURNS TABLE
AS
RETURN (SELECT OrderID, OrderDate, Status, Total FROM Orders WHERE CustomerID = @CustomerID))");
}
