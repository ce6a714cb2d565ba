set output 'Timing3.svg
set terminal svg
set multiplot
set grid
set title "Clients end date"
set xlabel "audio cycles"
set ylabel "usec"
plot "/tmp/prof.log" using 1 title "Audio period" with lines, "/tmp/prof.log" using 8 title "room-builtin-speakers.echo/45" with lines, "/tmp/prof.log" using 16 title "room-builtin-speakers.echo-in/44" with lines, "/tmp/prof.log" using 24 title "room-builtin-speakers/34" with lines, "/tmp/prof.log" using 32 title "room-kitchen-speaker.echo/47" with lines, "/tmp/prof.log" using 40 title "room-kitchen-speaker.echo-in/46" with lines, "/tmp/prof.log" using 48 title "room-kitchen-speaker/35" with lines, "/tmp/prof.log" using 56 title "room-living-room-tv.echo/49" with lines, "/tmp/prof.log" using 64 title "room-living-room-tv.echo-in/48" with lines, "/tmp/prof.log" using 72 title "room-living-room-tv/36" with lines, "/tmp/prof.log" using 80 title "room-surround-interface.echo/51" with lines, "/tmp/prof.log" using 88 title "room-surround-interface.echo-in/50" with lines, "/tmp/prof.log" using 96 title "room-surround-interface/37" with lines, "/tmp/prof.log" using 104 title "room-microphone.noise/127" with lines, "/tmp/prof.log" using 112 title "com.mirelo.housetone.capture/143" with lines, "/tmp/prof.log" using 120 title "housetone.tap.326ddec2-6f3a-46cd-b49f-0d41da2b4582/138" with lines
unset multiplot
unset output
