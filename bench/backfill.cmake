# Backfill throughput of the whole hub from simulated instruments' cards:
# minutes per hour recovered from one instrument over loopback, and the
# hub's CPU while 20 stations backfill beside their live data. Needs the
# test support library (tests on) and the built hub and simulator.
if(TARGET vh_testsupport)
  vh_add_bench(backfill_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/backfill_bench.cpp
    LIBS vh_testsupport vh_util)
  add_dependencies(backfill_bench vorlanhub dremosim)
endif()
