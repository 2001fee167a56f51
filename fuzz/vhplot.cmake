vh_add_fuzzer(vhplot_fuzz vhplot_fuzz.cpp vh_vhplot)
