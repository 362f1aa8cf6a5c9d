#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("OSM > Trassel converter 1.20");
    return 0;
  }
  std::puts("OSM > Trassel converter 1.20");
  return 0;
}
