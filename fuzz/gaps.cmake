vh_add_fuzzer(gapfile_fuzz gapfile_fuzz.cpp vh_gaps)
