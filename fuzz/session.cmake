# Request lines, inbound command texts and setting reply lines.
vh_add_fuzzer(selrequest_fuzz selrequest_fuzz.cpp vh_metadata vh_protocol)
# RESPONSE_FILE_NAME texts, FILE_PART pieces and named downloads of the file retrieval.
vh_add_fuzzer(dremofiles_fuzz dremofiles_fuzz.cpp vh_session)
