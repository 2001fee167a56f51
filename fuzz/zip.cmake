vh_add_fuzzer(zip_fuzz zip_fuzz.cpp vh_waveform)
