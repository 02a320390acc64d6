/* A lending library, in the style of older installation scripts: bracketed names, alias types
   made with CREATE TYPE, constraints added after the tables, an audit trigger, a view and
   procedures with defaults, OUTPUT parameters and return values. */
SET NOCOUNT ON
GO
USE [master]
GO
IF EXISTS (SELECT name FROM master.dbo.sysdatabases WHERE name = N'LibraryScript')
	DROP DATABASE [LibraryScript]
GO
CREATE DATABASE [LibraryScript]
GO
USE [LibraryScript]
GO
CREATE TYPE [dbo].[isbn] FROM [varchar](13) NOT NULL
GO
CREATE TYPE [dbo].[flag] FROM [bit] NULL
GO
CREATE TABLE [dbo].[Authors](
	[AuthorID] [int] IDENTITY(1,1) NOT NULL,
	[Name] [nvarchar](60) NOT NULL,
	[Born] [datetime] NULL,
 CONSTRAINT [PK_Authors] PRIMARY KEY CLUSTERED ([AuthorID] ASC)
 WITH (PAD_INDEX = OFF, STATISTICS_NORECOMPUTE = OFF, IGNORE_DUP_KEY = OFF) ON [PRIMARY]
) ON [PRIMARY]
GO
CREATE TABLE [dbo].[Books](
	[ISBN] [dbo].[isbn],
	[Title] [nvarchar](100) NOT NULL,
	[AuthorID] [int] NULL,
	[Price] [money] NULL,
	[Cover] [varbinary](max) NULL,
	[Lendable] [flag],
 CONSTRAINT [PK_Books] PRIMARY KEY NONCLUSTERED ([ISBN] ASC)
) ON [PRIMARY] TEXTIMAGE_ON [PRIMARY]
GO
CREATE TABLE [dbo].[Loans](
	[LoanID] [int] IDENTITY(1000,1) NOT NULL PRIMARY KEY,
	[ISBN] [dbo].[isbn],
	[Member] [nvarchar](40) NOT NULL,
	[Taken] [datetime] NOT NULL,
	[Returned] [datetime] NULL
)
GO
CREATE TABLE [dbo].[Audit]([Seq] [int] IDENTITY(1,1) NOT NULL, [What] [varchar](100) NOT NULL)
GO
CREATE NONCLUSTERED INDEX [AuthorID] ON [dbo].[Books] ([AuthorID] ASC) WITH (SORT_IN_TEMPDB = OFF) ON [PRIMARY]
GO
CREATE NONCLUSTERED INDEX [ISBN] ON [dbo].[Loans] ([ISBN])
GO
CREATE NONCLUSTERED INDEX [ISBN] ON [dbo].[Books] ([ISBN], [Title])
GO
ALTER TABLE [dbo].[Books]  WITH CHECK ADD  CONSTRAINT [FK_Books_Authors] FOREIGN KEY([AuthorID])
REFERENCES [dbo].[Authors] ([AuthorID])
GO
ALTER TABLE [dbo].[Books] CHECK CONSTRAINT [FK_Books_Authors]
GO
ALTER TABLE [dbo].[Books]  WITH CHECK ADD  CONSTRAINT [CK_Books_ISBN] CHECK  (([ISBN] like '[0-9][0-9][0-9]-[0-9]%'))
GO
ALTER TABLE [dbo].[Books] ADD  CONSTRAINT [DF_Books_Lendable]  DEFAULT ((1)) FOR [Lendable]
GO
ALTER TABLE [dbo].[Loans] WITH NOCHECK ADD CONSTRAINT [FK_Loans_Books] FOREIGN KEY ([ISBN]) REFERENCES [dbo].[Books] ([ISBN]) ON DELETE CASCADE
GO
ALTER TABLE [dbo].[Loans] ADD CONSTRAINT [DF_Loans_Taken] DEFAULT (getdate()) FOR [Taken]
GO
CREATE TRIGGER [dbo].[Loans_Audit] ON [dbo].[Loans]
FOR INSERT, UPDATE
AS
BEGIN
	SET NOCOUNT ON
	INSERT INTO [dbo].[Audit] ([What])
	SELECT CASE WHEN d.LoanID IS NULL THEN 'lent ' ELSE 'returned ' END + i.ISBN
	FROM inserted i LEFT JOIN deleted d ON d.LoanID = i.LoanID
END
GO
CREATE VIEW [dbo].[Open Loans]
AS
SELECT l.LoanID, b.Title, a.Name AS Author, l.Member, DATEDIFF(day, l.Taken, GETDATE()) AS Days
FROM dbo.Loans l
INNER JOIN dbo.Books b ON b.ISBN = l.ISBN
LEFT OUTER JOIN dbo.Authors a ON a.AuthorID = b.AuthorID
WHERE l.Returned IS NULL
GO
CREATE PROCEDURE [dbo].[Lend]
	@ISBN isbn,
	@Member nvarchar(40) = N'walk-in',
	@LoanID int = NULL OUTPUT
AS
BEGIN
	IF NOT EXISTS (SELECT * FROM dbo.Books WHERE ISBN = @ISBN AND Lendable = 1)
	BEGIN
		RAISERROR ('Book %s cannot be lent.', 16, 1, @ISBN)
		RETURN -1
	END
	INSERT dbo.Loans (ISBN, Member) VALUES (@ISBN, @Member)
	SET @LoanID = SCOPE_IDENTITY()
	RETURN 0
END
GO
CREATE PROC dbo.GiveBack @LoanID int AS
UPDATE dbo.Loans SET Returned = GETDATE() WHERE LoanID = @LoanID
RETURN @@ROWCOUNT
GO
SET IDENTITY_INSERT [dbo].[Authors] ON
INSERT [dbo].[Authors] ([AuthorID], [Name], [Born]) VALUES (1, N'Selma Lagerlöf', CAST(N'1858-11-20T00:00:00' AS DateTime))
INSERT [dbo].[Authors] ([AuthorID], [Name], [Born]) VALUES (2, N'Astrid Lindgren', CAST(N'1907-11-14T00:00:00' AS DateTime))
INSERT [dbo].[Authors] ([AuthorID], [Name], [Born]) VALUES (5, N'Tove Jansson', NULL)
SET IDENTITY_INSERT [dbo].[Authors] OFF
GO
INSERT [dbo].[Authors] ([Name]) VALUES (N'Anonymous')
GO
INSERT [dbo].[Books] ([ISBN], [Title], [AuthorID], [Price], [Cover]) VALUES ('978-1', N'Gösta Berling', 1, $12.50, 0x89504E470D0A1A0A0000000D49484452000000010000000108060000001F15C4890000000A49444154789C63000100000500010D0A2DB40000000049454E44AE426082)
INSERT [dbo].[Books] ([ISBN], [Title], [AuthorID], [Price]) VALUES ('978-2', N'Pippi Longstocking', 2, 9.99)
INSERT [dbo].[Books] ([ISBN], [Title], [AuthorID], [Price], [Lendable]) VALUES ('978-3', N'Finn Family Moomintroll', 5, $7, 0)
INSERT [dbo].[Books] VALUES ('978-4', N'The Wonderful Adventures of Nils', 1, 14, NULL, 1)
GO
DECLARE @id int, @rc int
EXEC @rc = dbo.Lend '978-1', N'Ann', @id OUTPUT
IF @rc <> 0 OR @id <> 1000 RAISERROR ('Lend gave %d and %d', 16, 1, @rc, @id)
EXEC @rc = dbo.Lend @ISBN = '978-2', @LoanID = @id OUTPUT
IF @rc <> 0 OR @id <> 1001 RAISERROR ('Lend gave %d and %d', 16, 1, @rc, @id)
EXEC @rc = dbo.GiveBack @id
IF @rc <> 1 RAISERROR ('GiveBack gave %d', 16, 1, @rc)
GO
GRANT SELECT ON [dbo].[Open Loans] TO [public]
GRANT EXECUTE ON [dbo].[Lend] TO [public]
GO
CHECKPOINT
GO
if exists (select * from dbo.sysobjects where id = object_id(N'[dbo].[GiveBack]') and OBJECTPROPERTY(id, N'IsProcedure') = 1)
drop procedure [dbo].[GiveBack]
GO
if exists (select * from sysobjects where id = object_id('dbo.Lend') and sysstat & 0xf = 4)
	drop procedure dbo.Lend
GO
IF EXISTS (SELECT * FROM dbo.sysobjects WHERE id = OBJECT_ID(N'[dbo].[Audit]') AND OBJECTPROPERTY(id, N'IsUserTable') = 1)
	PRINT 'the audit table stays'
GO
CREATE PROC dbo.GiveBack @LoanID int AS
UPDATE dbo.Loans SET Returned = GETDATE() WHERE LoanID = @LoanID
RETURN @@ROWCOUNT
GO
