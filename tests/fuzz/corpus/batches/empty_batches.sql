GO
GO

GO
select 3