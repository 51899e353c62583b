out\.tif: the grid has 0 rows and 3 columns; a raster file needs at least one of each
