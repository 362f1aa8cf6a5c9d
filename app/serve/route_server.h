// The route service: networks opened read-only and asked over HTTP.
//   GET /route?points=LAT,LON;LAT,LON[;...]&mode=shortest|fastest[&net=K]
//   GET /health
//   GET / (and /report.html): the first network folder's report page
// Every request is bounded: the length of its line, the number of points,
// the time a client may take to send it; a pool of threads answers, each
// with routers of its own, so that a slow client or a long route holds one
// thread and no lock.
#pragma once

#include <string>
#include <vector>

struct TServeOptions {
  std::vector<std::string> Dirs;
  std::string Bind = "127.0.0.1";
  int Port = 8080;
  int Threads = 8;
  double MaxSnap = 1000;  // metres
  std::string Speeds;     // --speeds FILE.csv
};

inline constexpr size_t ServeMaxPoints = 100;
inline constexpr size_t ServeMaxQuery = 8192;

// Opens the networks (a message on err and status 1 when one cannot be),
// listens, and answers until SIGINT or SIGTERM. Returns the exit status: 0
// after a stop by signal, 1 when a network cannot be opened or the address
// cannot be bound.
int RunRouteServer(const TServeOptions& o, std::FILE* out, std::FILE* err);
