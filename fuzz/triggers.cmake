# TRIGGER payloads, "level trigger info" texts and "trigger " texts.
vh_add_fuzzer(trigger_fuzz trigger_fuzz.cpp vh_triggers)
