m\\x1b\[31m\.dat: can't open the file
new\\x01/out\.grd: [^\n]+\n