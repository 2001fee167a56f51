vh_add_fuzzer(strtotm_fuzz strtotm_fuzz.cpp vh_util)
