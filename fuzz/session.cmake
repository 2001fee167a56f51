# Request lines, inbound command texts and setting reply lines.
vh_add_fuzzer(selrequest_fuzz selrequest_fuzz.cpp vh_metadata vh_protocol)
