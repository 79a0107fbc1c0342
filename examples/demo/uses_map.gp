# The three land uses of land_uses.json over the potential map. Called by run.sh with the variables
#   potential, final, roads: grid values without their header (one row of cells per line)
#   ncols, nrows: the size of the grid;  output: the PNG to write.
set terminal pngcairo size 1100,800 font "sans,11"
set output output
set size ratio -1
set xrange [-0.5:ncols - 0.5]
set yrange [nrows - 0.5:-0.5]
set xlabel "column"
set ylabel "row"
set title "Housing, industry and green space decided together"
set cblabel "potential (fused, normalised)"
set palette defined (0 "#f7f7f7", 1 "#bdbdbd")
set cbrange [0:1]
set key outside bottom center horizontal
nodata(v) = v < 0 ? NaN : v
plot potential matrix using 1:2:(nodata($3)) with image notitle, \
     roads matrix using 1:2:(90):(90):(90):($3 > 0 ? 160 : 0) with rgbalpha notitle, \
     final matrix using 1:2:(40):(110):(200):($3 == -2 ? 255 : 0) with rgbalpha notitle, \
     final matrix using 1:2:(50):(50):(50):($3 > 0 && $3 < 10 ? 255 : 0) with rgbalpha notitle, \
     final matrix using 1:2:(215):(40):(30):($3 == 10 ? 255 : 0) with rgbalpha notitle, \
     final matrix using 1:2:(130):(60):(170):($3 == 20 ? 255 : 0) with rgbalpha notitle, \
     final matrix using 1:2:(40):(150):(60):($3 == 30 ? 255 : 0) with rgbalpha notitle, \
     NaN with boxes fill solid fc rgb "#d7281e" title "housing", \
     NaN with boxes fill solid fc rgb "#823caa" title "industry", \
     NaN with boxes fill solid fc rgb "#28963c" title "green space", \
     NaN with boxes fill solid fc rgb "#323232" title "existing settlements", \
     NaN with boxes fill solid fc rgb "#286ec8" title "water (excluded)", \
     NaN with lines lw 2 lc rgb "#5a5a5a" title "roads"
