// osm2trassel-serve: the route service, run as osm2trassel-cli serve.
#include <cstdio>

#include "cli_serve.h"

int main(int argc, char** argv) { return RunServeCommand(argc, argv, stdout, stderr); }
