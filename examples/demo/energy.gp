# The energy of the annealing stage by stage, from the evolution listing. Called by run.sh with
#   evolution: the listing;  output: the PNG to write.
set terminal pngcairo size 1000,600 font "sans,11"
set output output
set title "Energy per annealing stage (every try in order)"
set xlabel "stage"
set ylabel "energy and its terms (unweighted)"
set y2label "temperature"
set y2tics
set ytics nomirror
set logscale y2
set key outside right top vertical
set grid
plot evolution using 0:3 with linespoints lw 3 pt 7 ps 0.6 lc rgb "#000000" title "E (weighted sum)", \
     '' using 0:6 with lines lw 1.5 title "f1 potential", \
     '' using 0:7 with lines lw 1.5 title "f2 perimeter", \
     '' using 0:8 with lines lw 1.5 title "f3 islands", \
     '' using 0:9 with lines lw 1.5 title "f4 nservices", \
     '' using 0:10 with lines lw 1.5 title "f5 distances", \
     '' using 0:2 axes x1y2 with lines dt 2 lw 1.5 lc rgb "#888888" title "T"
