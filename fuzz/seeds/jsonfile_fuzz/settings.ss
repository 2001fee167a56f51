"format"="vorlanmeta"

# x
"sitename"="AB12 (ro)"
"gain"=3
"last_peak 0"="0.0012 m/s 2024-03-01 12:34:56"
"time"="2021-04-05 2345 56"
storing_chan[0]=1
ch4_active=1
serial=00a1b2c3
