select 1
GO
select 2
