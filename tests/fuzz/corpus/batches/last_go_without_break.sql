select 1
GO