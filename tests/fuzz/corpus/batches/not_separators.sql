go
 GO
GO 
GO;
GO 2
GO
GO
