missing/out\.tif: .+
