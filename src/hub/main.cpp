#include "hub/Startup.h"

int main(int argc, char** argv) { return vorlanhubMain(argc, argv); }
