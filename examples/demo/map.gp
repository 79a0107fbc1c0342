# The final allocation over the potential map. Called by run.sh with the variables
#   potential, final, roads: grid values without their header (one row of cells per line)
#   ncols, nrows: the size of the grid
#   allocated: the value of an allocated cell in the final map;  output: the PNG to write.
set terminal pngcairo size 1100,800 font "sans,11"
set output output
set size ratio -1
set xrange [-0.5:ncols - 0.5]
set yrange [nrows - 0.5:-0.5]
set xlabel "column"
set ylabel "row"
set title "Final allocation over the potential map"
set cblabel "potential (fused, normalised)"
set palette defined (0 "#f4f1e6", 0.5 "#b9d7a0", 1 "#3d7f3a")
set cbrange [0:1]
set key outside bottom center horizontal
nodata(v) = v < 0 ? NaN : v
# A layer of one colour, transparent wherever `test` is false.
plot potential matrix using 1:2:(nodata($3)) with image notitle, \
     roads matrix using 1:2:(90):(90):(90):($3 > 0 ? 160 : 0) with rgbalpha notitle, \
     final matrix using 1:2:(40):(110):(200):($3 == -2 ? 255 : 0) with rgbalpha notitle, \
     final matrix using 1:2:(50):(50):(50):($3 > 0 && $3 != allocated ? 255 : 0) with rgbalpha notitle, \
     final matrix using 1:2:(215):(40):(30):($3 == allocated ? 255 : 0) with rgbalpha notitle, \
     NaN with boxes fill solid fc rgb "#d7281e" title "new allocation", \
     NaN with boxes fill solid fc rgb "#323232" title "existing settlements", \
     NaN with boxes fill solid fc rgb "#286ec8" title "river and lake (excluded)", \
     NaN with lines lw 2 lc rgb "#5a5a5a" title "roads"
