# Minute zipping in one process: minutes zipped per minute by the zip
# workers at a steady 400 a minute, the minutes left waiting, and how long a
# session waits for the zip lock meanwhile. Needs the test support library
# (tests on) for its temporary folders and test records.
if(TARGET vh_testsupport)
  vh_add_bench(zip_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/zip_bench.cpp
    LIBS vh_testsupport vh_archive vh_metadata)
endif()
