# The upload folder's ".pkt" files and the client request files.
vh_add_fuzzer(pkt_fuzz pkt_fuzz.cpp vh_protocol)
vh_add_fuzzer(requestfile_fuzz requestfile_fuzz.cpp vh_gaps)
