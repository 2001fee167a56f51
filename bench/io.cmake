# Instrument links: read-loop cost of an idle link and loopback throughput into the ring.
vh_add_bench(io_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/io_bench.cpp
  LIBS vh_io)
