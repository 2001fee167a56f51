# Histogram files fetched from the instrument.
vh_add_fuzzer(histogramcsv_fuzz histogramcsv_fuzz.cpp vh_metadata)
