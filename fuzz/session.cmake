# Request lines, inbound command texts and setting reply lines.
vh_add_fuzzer(selrequest_fuzz selrequest_fuzz.cpp vh_metadata vh_protocol)
# RESPONSE_FILE_NAME texts, FILE_PART pieces and named downloads of the file retrieval.
vh_add_fuzzer(dremofiles_fuzz dremofiles_fuzz.cpp vh_session)
# REQUEST_FILE texts of an instrument: settings, sites, site information, waveform files, relays.
vh_add_fuzzer(instrumentrequest_fuzz instrumentrequest_fuzz.cpp vh_session)
