# How often each cell is chosen by the repeats, over the potential map. Called by run.sh with
#   potential, frequency: grid values without their header (one row of cells per line)
#   runs: the number of repeats;  ncols, nrows: the size of the grid;  output: the PNG to write.
set terminal pngcairo size 1100,800 font "sans,11"
set output output
set size ratio -1
set xrange [-0.5:ncols - 0.5]
set yrange [nrows - 0.5:-0.5]
set xlabel "column"
set ylabel "row"
set title sprintf("How many of %d runs choose each cell", runs)
set cblabel "runs"
set palette defined (0 "#fde0a0", 0.5 "#f07b2a", 1 "#8c0f1d")
set cbrange [0.5:runs + 0.5]
set cbtics 1
set key outside bottom center horizontal
grey(v) = v < 0 ? 255 : 120 + 120 * v
# The potential in grey beneath (white where it has no data), then every cell chosen at least
# once in colour.
plot potential matrix using 1:2:(grey($3)):(grey($3)):(grey($3)) with rgbimage notitle, \
     frequency matrix using 1:2:($3 > 0 ? $3 : NaN) with image notitle
