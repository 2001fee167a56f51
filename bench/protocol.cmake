# Frames per second through a loopback socket into the packet reader.
vh_add_bench(frames_bench SOURCES frames_bench.cpp LIBS vh_protocol vh_testsupport)
