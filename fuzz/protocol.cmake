# The frame reader over arbitrary byte streams, and the miniSEED record
# accessors over arbitrary 512-byte records.
vh_add_fuzzer(packetreader_fuzz packetreader_fuzz.cpp vh_protocol)
target_include_directories(packetreader_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/tests)
vh_add_fuzzer(miniseed_fuzz miniseed_fuzz.cpp vh_waveform)
