// The links' speeds of the fastest route: a road's maxspeed where the road
// table beside the network holds it (field MaxSpeed of roads.dbf or
// roads.dat, written with --optional maxspeed), else a speed by road class,
// the class being the low byte of the link's attribute word (the type codes
// of the include file).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "linvoro_lazynetwork.h"
#include "linvoro_placeroute.h"

class TDbfFile;

// Road class -> km/h.
struct TSpeedTable {
  struct TEntry {
    std::string name;  // the highway type
    int32_t code = 0;  // its type code
    double kmh = 0;
  };
  std::vector<TEntry> entries;
  double other = 30;  // a class the table does not list

  // The program's own table.
  static TSpeedTable Defaults();
  // A CSV file of lines "road class,km/h" (class: a highway type or its
  // code; a header line and blank lines are allowed) over the defaults:
  // the classes it names take its speeds. Raises Exception naming the
  // file and line of a malformed line; the file is read up to 1 MB.
  static TSpeedTable Load(const std::string& path);

  double Speed(int32_t code) const;
  double Max() const;
};

// A maxspeed beyond this is taken as this; below 1 km/h as no maxspeed.
inline constexpr double MaxSpeedCap = 150;

class TRoadSpeeds : public TLinkSpeeds {
 public:
  // The network must be open and outlive this; the road table beside it is
  // opened when it has a MaxSpeed field with one record per link.
  TRoadSpeeds(TLazyNetwork& nw, const TSpeedTable& table);
  ~TRoadSpeeds() override;
  double Speed(int32_t link) override;
  double MaxSpeed() const override { return FMax; }
  bool HasMaxSpeeds() const { return FField >= 0; }

 private:
  TLazyNetwork& FNW;
  const TSpeedTable& FTable;
  std::unique_ptr<TDbfFile> FTableFile;
  int32_t FField = -1;
  double FMax = 0;
  // A search asks for a link's speed several times, and the service's
  // searches ask for the same links again: each speed found once, kept by
  // link (0: not yet found). A hash map of them was a tenth of a fastest
  // search; calloc leaves the pages of links never asked for untouched.
  struct TFree {
    void operator()(float* p) const { std::free(p); }
  };
  std::unique_ptr<float[], TFree> FKnown;
  int32_t FLinkCount = 0;
};
