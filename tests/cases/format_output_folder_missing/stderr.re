missing/out\.tif: cannot write in the folder "missing": .+
