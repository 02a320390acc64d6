-- A small shop database, installed the way old installation scripts do it.
SET NOCOUNT ON
GO
USE master
GO
IF EXISTS (SELECT * FROM sysdatabases WHERE name = 'ShopScript')
    DROP DATABASE ShopScript
GO
CREATE DATABASE ShopScript
GO
USE "ShopScript"
GO
EXEC sp_addtype id_code, 'varchar(11)', 'NOT NULL'
GO
CREATE TYPE zip_code FROM char(5) NULL
GO
CHECKPOINT
GO
CREATE TABLE "Customers" (
    "CustomerID" nchar (5) NOT NULL ,
    "CompanyName" nvarchar (40) NOT NULL ,
    "City" [nvarchar] (15) NULL ,
    "Zip" zip_code ,
    "Phone" varchar (24) NULL ,
    CONSTRAINT "PK_Customers" PRIMARY KEY CLUSTERED ("CustomerID")
)
GO
CREATE TABLE [dbo].[Suppliers] (
    [SupplierID] [int] IDENTITY (1, 1) NOT NULL ,
    [Code] id_code ,
    [Name] [nvarchar] (40) NOT NULL ,
    CONSTRAINT [PK_Suppliers] PRIMARY KEY NONCLUSTERED ([SupplierID]) WITH FILLFACTOR = 90 ON [PRIMARY]
) ON [PRIMARY]
GO
CREATE TABLE dbo.Products (
    ProductID "int" IDENTITY (10, 5) NOT NULL,
    ProductName nvarchar (40) NOT NULL,
    SupplierID "int" NULL,
    UnitPrice money NULL CONSTRAINT DF_Products_UnitPrice DEFAULT (0),
    Picture image NULL,
    Code varchar (6) NULL,
    CONSTRAINT PK_Products PRIMARY KEY CLUSTERED (ProductID)
)
GO
CREATE TABLE "Orders" (
    "OrderID" "int" IDENTITY (1, 1) NOT NULL ,
    "CustomerID" nchar (5) NULL ,
    "OrderDate" "datetime" NULL ,
    "Freight" "money" NULL ,
    CONSTRAINT "PK_Orders" PRIMARY KEY CLUSTERED ("OrderID")
)
GO
CREATE TABLE "Order Details" (
    "OrderID" "int" NOT NULL ,
    "ProductID" "int" NOT NULL ,
    "UnitPrice" "money" NOT NULL ,
    "Quantity" "smallint" NOT NULL ,
    CONSTRAINT "PK_Order_Details" PRIMARY KEY CLUSTERED ("OrderID", "ProductID")
)
GO
CREATE INDEX "City" ON "dbo"."Customers"("City")
GO
CREATE INDEX "CustomerID" ON "dbo"."Orders"("CustomerID")
GO
CREATE UNIQUE NONCLUSTERED INDEX ProductName ON dbo.Products (ProductName) WITH (FILLFACTOR = 80) ON [PRIMARY]
GO
CREATE NONCLUSTERED INDEX [ProductID] ON [dbo].[Order Details]([ProductID])
GO
CREATE INDEX "CustomerID" ON "dbo"."Customers"("CustomerID")
GO
ALTER TABLE dbo.Products ADD CONSTRAINT FK_Products_Suppliers FOREIGN KEY (SupplierID) REFERENCES dbo.Suppliers (SupplierID)
GO
ALTER TABLE dbo.Products ADD CONSTRAINT CK_Products_Code CHECK (Code LIKE '[A-Z][A-Z]-[0-9][0-9][0-9]' OR Code IS NULL)
GO
ALTER TABLE "Order Details" ADD
    CONSTRAINT "FK_Order_Details_Orders" FOREIGN KEY ("OrderID") REFERENCES "dbo"."Orders" ("OrderID"),
    CONSTRAINT "FK_Order_Details_Products" FOREIGN KEY ("ProductID") REFERENCES "dbo"."Products" ("ProductID"),
    CONSTRAINT "CK_Quantity" CHECK (Quantity > 0),
    CONSTRAINT "DF_Order_Details_Quantity" DEFAULT (1) FOR "Quantity"
GO
ALTER TABLE [dbo].[Customers] WITH NOCHECK ADD CONSTRAINT [CK_Customers_Zip] CHECK ([Zip] LIKE '[0-9][0-9][0-9][0-9][0-9]')
GO
CREATE TRIGGER Orders_Freight ON dbo.Orders AFTER INSERT, UPDATE AS
IF EXISTS (SELECT * FROM inserted WHERE Freight < 0)
BEGIN
    RAISERROR ('Freight cannot be negative.', 16, 1)
    ROLLBACK TRANSACTION
END
GO
CREATE VIEW "Order Totals" AS
SELECT o.OrderID, o.CustomerID, SUM(d.UnitPrice * d.Quantity) AS Total
FROM dbo.Orders o JOIN "Order Details" d ON d.OrderID = o.OrderID
GROUP BY o.OrderID, o.CustomerID
GO
CREATE PROCEDURE "Customer Orders" @CustomerID nchar(5), @Count int = NULL OUTPUT AS
SELECT @Count = COUNT(*) FROM Orders WHERE CustomerID = @CustomerID
RETURN @Count * 10
GO
INSERT "Customers" VALUES('ALFKI','Alfreds Futterkiste','Berlin','12209','030-0074321')
INSERT "Customers" VALUES('ANATR','Ana Trujillo Emparedados','Mexico','05021','(5) 555-4729')
INSERT "Customers"("CustomerID","CompanyName","City") VALUES('AROUT','Around the Horn','London')
INSERT INTO Customers VALUES('BERGS','Berglunds snabbköp','Luleå','95822',NULL)
GO
INSERT [dbo].[Suppliers] ([Code], [Name]) VALUES ('S-001', 'Exotic Liquids')
INSERT [dbo].[Suppliers] ([Code], [Name]) VALUES ('S-002', 'New Orleans Cajun Delights')
GO
SET IDENTITY_INSERT dbo.Products ON
GO
INSERT Products (ProductID, ProductName, SupplierID, UnitPrice, Picture, Code) VALUES (1, 'Chai', 1, $18.00, 0x0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F202122232425262728292A2B2C2D2E2F, 'AB-123')
INSERT Products (ProductID, ProductName, SupplierID, UnitPrice, Code) VALUES (2, 'Chang', 1, $19, 'CD-456')
INSERT Products (ProductID, ProductName, SupplierID, UnitPrice) VALUES (3, 'Aniseed Syrup', 2, 10.0)
GO
SET IDENTITY_INSERT dbo.Products OFF
GO
INSERT Products (ProductName, SupplierID, UnitPrice) VALUES ('Gumbo Mix', 2, $21.35)
GO
SET IDENTITY_INSERT "Orders" ON
INSERT "Orders"("OrderID","CustomerID","OrderDate","Freight") VALUES(10248,N'ALFKI','1996-07-04 10:20:30.123',$32.38)
INSERT "Orders"("OrderID","CustomerID","OrderDate","Freight") VALUES(10249,N'ANATR','7/5/1996',11.61)
INSERT "Orders"("OrderID","CustomerID","OrderDate","Freight") VALUES(10250,N'ALFKI','19960708',65.83)
SET IDENTITY_INSERT "Orders" OFF
GO
INSERT "Order Details" VALUES(10248,1,14,12)
INSERT "Order Details" VALUES(10248,2,9.8,10)
INSERT "Order Details" VALUES(10249,3,34.8,5)
INSERT "Order Details"("OrderID","ProductID","UnitPrice") VALUES(10250,1,18)
GO
GRANT SELECT ON "Order Totals" TO public
GO
GRANT EXECUTE ON "Customer Orders" TO public
GO
DECLARE @n int, @r int
EXEC @r = "Customer Orders" 'ALFKI', @n OUTPUT
IF @n <> 2 OR @r <> 20 RAISERROR ('Customer Orders gave %d and %d', 16, 1, @n, @r)
GO
SELECT CONVERT(varchar(30), OrderDate, 101) AS US, CONVERT(char(8), OrderDate, 112) AS ISO, CONVERT(varchar, GETDATE(), 113) AS Now
FROM Orders WHERE OrderID = 10248
GO
CHECKPOINT
GO
