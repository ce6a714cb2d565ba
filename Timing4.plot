set output 'Timing4.svg
set terminal svg
set multiplot
set grid
set title "Clients scheduling latency"
set xlabel "audio cycles"
set ylabel "usec"
plot "/tmp/prof.log" using 9 title "room-builtin-speakers.echo/45" with lines, "/tmp/prof.log" using 17 title "room-builtin-speakers.echo-in/44" with lines, "/tmp/prof.log" using 25 title "room-builtin-speakers/34" with lines, "/tmp/prof.log" using 33 title "room-kitchen-speaker.echo/47" with lines, "/tmp/prof.log" using 41 title "room-kitchen-speaker.echo-in/46" with lines, "/tmp/prof.log" using 49 title "room-kitchen-speaker/35" with lines, "/tmp/prof.log" using 57 title "room-living-room-tv.echo/49" with lines, "/tmp/prof.log" using 65 title "room-living-room-tv.echo-in/48" with lines, "/tmp/prof.log" using 73 title "room-living-room-tv/36" with lines, "/tmp/prof.log" using 81 title "room-surround-interface.echo/51" with lines, "/tmp/prof.log" using 89 title "room-surround-interface.echo-in/50" with lines, "/tmp/prof.log" using 97 title "room-surround-interface/37" with lines, "/tmp/prof.log" using 105 title "room-microphone.noise/127" with lines, "/tmp/prof.log" using 113 title "com.mirelo.housetone.capture/143" with lines, "/tmp/prof.log" using 121 title "housetone.tap.326ddec2-6f3a-46cd-b49f-0d41da2b4582/138" with lines
unset multiplot
unset output
