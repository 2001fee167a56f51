# The whole hub with simulated instruments against a plain loopback sink:
# stored records per second, CPU per 1000 records, resident memory, store
# latency, and CPU and memory per real-time instrument. Needs the test
# support library (tests on) and the built hub and simulator.
if(TARGET vh_testsupport)
  vh_add_bench(hub_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hub_bench.cpp
    LIBS vh_testsupport vh_dremosim vh_waveform vh_protocol)
  add_dependencies(hub_bench vorlanhub dremosim)
endif()
