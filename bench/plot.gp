# Chart of a benchmark run: each relay's figures relative to the direct connection
# (one bar group per relay), and the idle memory each relayed connection costs.
# Called by the driver:
#   gnuplot -e "ratios='R'; memory='M'; out='PNG'; heading='TEXT'" bench/plot.gp
# R: a header line of workload names, then one line per relay; M: relay, KiB.

set terminal pngcairo size 1500,1000 font "DejaVu Sans,11"
set output out
set datafile missing "?"
set datafile separator "\t"
# Ten distinct colours, so no two workloads share one.
array colours[10] = ["#4477aa", "#66ccee", "#228833", "#ccbb44", "#ee6677", "#aa3377", \
                     "#bbbbbb", "#222255", "#ee7733", "#009988"]
do for [i=1:10] { set linetype i lc rgb colours[i] }
set multiplot layout 2,1 title heading font ",13"

set size 1,0.68
set origin 0,0.30
set title "Performance relative to a direct connection (1 = as fast as direct; higher is better, latencies inverted; axis cut at 2.5)"
set style data histograms
set style histogram clustered gap 2
set style fill solid 0.85 border -1
set boxwidth 0.9
set key outside right top vertical font ",10"
set yrange [0:1.1<*<2.5]
set ylabel "relay / direct"
set grid ytics
set xtics nomirror font ",11"
set arrow 1 from graph 0, first 1 to graph 1, first 1 nohead dt 2 lw 1.5 lc rgb "#444444"
columns = system("head -1 '".ratios."' | awk -F'\t' '{print NF}'")
plot for [i=2:columns] ratios using i:xtic(1) title columnheader(i)

unset arrow 1
set size 1,0.30
set origin 0,0
set title "Idle memory per open relayed connection (RSS growth of all the relay's processes; lower is better)"
set ylabel "KiB per connection"
set logscale y
set yrange [*:*]
unset key
set style histogram clustered gap 1
plot memory using 2:xtic(1) lc rgb "#4477aa", \
     memory using 0:2:(sprintf("%.1f", $2)) with labels offset 0,0.7 notitle
unset multiplot
