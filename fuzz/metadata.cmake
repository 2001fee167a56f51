# Key-file buffers and settings lines from the instrument.
vh_add_fuzzer(jsonfile_fuzz jsonfile_fuzz.cpp vh_metadata)
