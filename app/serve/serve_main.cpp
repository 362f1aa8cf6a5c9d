// osm2trassel-serve: the route service, run as osm2trassel-cli serve.
#include <cstdio>

#include "serve_options.h"

int main(int argc, char** argv) { return RunServeCommand(argc, argv, stdout, stderr); }
