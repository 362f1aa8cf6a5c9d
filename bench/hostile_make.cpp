// Makes the crafted inputs of bench/hostile_inputs.sh in full size.
//   hostile_make DIR
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "hostile_inputs.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hostile_make DIR\n");
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/";
  const uint64_t GiB = uint64_t(1) << 30;
  hostile::LongLineBzip2(dir + "long-line.osm.bz2", GiB);
  hostile::LongLinePlain(dir + "long-line.osm", GiB);
  hostile::WayRefsPbf(dir + "strided-300k.osm.pbf", 300000, 1, int64_t(1) << 15);
  hostile::WayRefsPbf(dir + "strided-100k.osm.pbf", 100000, 1, int64_t(1) << 15);
  hostile::WayRefsPbf(dir + "descending-100k.osm.pbf", 100000, int64_t(1) << 62, -(int64_t(1) << 35));
  hostile::WayRefsPbf(dir + "descending-200k.osm.pbf", 200000, int64_t(1) << 62, -(int64_t(1) << 35));
  hostile::ManyRefBlocksPbf(dir + "many-ref-blocks.osm.pbf", 8, 30000000);
  hostile::UnsortedPbf(dir + "unsorted.osm.pbf");
  hostile::UnsortedXml(dir + "unsorted.osm");
  std::remove((dir + "fifo.osm").c_str());
  if (::mkfifo((dir + "fifo.osm").c_str(), 0600) != 0) std::perror("mkfifo");
  return 0;
}
