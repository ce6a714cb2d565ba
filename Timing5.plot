set output 'Timing5.svg
set terminal svg
set multiplot
set grid
set title "Clients duration"
set xlabel "audio cycles"
set ylabel "usec"
plot "/tmp/prof.log" using 10 title "room-builtin-speakers.echo/45" with lines, "/tmp/prof.log" using 18 title "room-builtin-speakers.echo-in/44" with lines, "/tmp/prof.log" using 26 title "room-builtin-speakers/34" with lines, "/tmp/prof.log" using 34 title "room-kitchen-speaker.echo/47" with lines, "/tmp/prof.log" using 42 title "room-kitchen-speaker.echo-in/46" with lines, "/tmp/prof.log" using 50 title "room-kitchen-speaker/35" with lines, "/tmp/prof.log" using 58 title "room-living-room-tv.echo/49" with lines, "/tmp/prof.log" using 66 title "room-living-room-tv.echo-in/48" with lines, "/tmp/prof.log" using 74 title "room-living-room-tv/36" with lines, "/tmp/prof.log" using 82 title "room-surround-interface.echo/51" with lines, "/tmp/prof.log" using 90 title "room-surround-interface.echo-in/50" with lines, "/tmp/prof.log" using 98 title "room-surround-interface/37" with lines, "/tmp/prof.log" using 106 title "room-microphone.noise/127" with lines, "/tmp/prof.log" using 114 title "com.mirelo.housetone.capture/143" with lines, "/tmp/prof.log" using 122 title "housetone.tap.326ddec2-6f3a-46cd-b49f-0d41da2b4582/138" with lines
unset multiplot
unset output
