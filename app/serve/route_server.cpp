#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "linvoro_functions.h"
#include "linvoro_json.h"
#include "route_files.h"
#include "route_network.h"
#include "route_points.h"
#include "route_server.h"
#include "route_speeds.h"
#include "route_trip.h"

namespace {

// One thread's view of one network: the blocks read of the network's files
// are shared by the workers of a network (each is read once and held once),
// the scan state, road names and the router's labels are the worker's own.
struct TWorker {
  TLazyNetwork nw;
  std::unique_ptr<TRoadSpeeds> speeds;
  std::unique_ptr<TLegRouter> router;
};

// The workers of one network, lent to a request at a time.
class TWorkerPool {
 public:
  TWorkerPool(const std::string& dir, const TSpeedTable& table, int count) : FDir(RouteFolderPath(dir)) {
    for (int i = 0; i < count; ++i) {
      auto w = std::make_unique<TWorker>();
      if (FAll.empty()) {
        OpenRouteNetwork(w->nw, dir);
        w->nw.SetKeepSpatialIndex(true);
      } else {
        w->nw.OpenSharing(FAll.front()->nw);
      }
      w->speeds = std::make_unique<TRoadSpeeds>(w->nw, table);
      w->router = std::make_unique<TLegRouter>(w->nw);
      w->router->SetSpeeds(w->speeds.get());
      FFree.push_back(w.get());
      FAll.push_back(std::move(w));
    }
  }
  const std::string& Dir() const { return FDir; }
  TWorker* Take() {
    std::unique_lock<std::mutex> lock(FMutex);
    if (!FReady.wait_for(lock, std::chrono::seconds(5), [&] { return !FFree.empty(); })) return nullptr;
    TWorker* w = FFree.back();
    FFree.pop_back();
    return w;
  }
  void Give(TWorker* w) {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FFree.push_back(w);
    }
    FReady.notify_one();
  }

 private:
  std::string FDir;
  std::vector<std::unique_ptr<TWorker>> FAll;
  std::vector<TWorker*> FFree;
  std::mutex FMutex;
  std::condition_variable FReady;
};

void JsonError(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  std::string body = "{\"error\":";
  AppendJsonString(body, message);
  body += "}\n";
  res.set_content(body, "application/json");
}

}  // namespace

int RunRouteServer(const TServeOptions& o, std::FILE* out, std::FILE* err) {
  // The signals are taken by a thread of their own: every other thread,
  // the pool's included, is started with them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  // A shell starts a background job with SIGINT ignored, which would drop
  // it even while blocked.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::vector<std::unique_ptr<TWorkerPool>> pools;
  TSpeedTable table;
  try {
    table = o.Speeds.empty() ? TSpeedTable::Defaults() : TSpeedTable::Load(o.Speeds);
    for (const std::string& dir : o.Dirs) pools.push_back(std::make_unique<TWorkerPool>(dir, table, o.Threads));
  } catch (const std::exception& e) {
    std::fprintf(err, "%s\n", e.what());
    return 1;
  }

  httplib::Server svr;
  const int threads = o.Threads;
  svr.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  // A client that sends its request slowly, or never finishes it, gives up
  // its thread after a few seconds.
  svr.set_read_timeout(5, 0);
  svr.set_write_timeout(5, 0);
  svr.set_keep_alive_timeout(5);
  svr.set_payload_max_length(ServeMaxQuery);
  // The status line and headers go out in one write and the body in another:
  // under Nagle's rule the body then waits for the client's delayed ACK, some
  // 40 ms on every request of a kept-alive connection after the first.
  svr.set_tcp_nodelay(true);
  // The library's own socket options add SO_REUSEPORT, under which a second
  // service on the same port starts without a word and takes a share of the
  // connections: SO_REUSEADDR only, for a restart while old connections
  // linger.
  int listenFd = -1;
  svr.set_socket_options([&listenFd](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    listenFd = sock;
  });

  svr.Get("/health", [&](const httplib::Request&, httplib::Response& res) {
    std::string body = "{\"status\":\"ok\",\"networks\":[";
    for (size_t i = 0; i < pools.size(); ++i) {
      if (i) body += ',';
      AppendJsonString(body, pools[i]->Dir());
    }
    res.set_content(body + "]}\n", "application/json");
  });

  auto report = [&](const httplib::Request&, httplib::Response& res) {
    const std::string path = pools.front()->Dir() + "/report.html";
    std::ifstream f(path, std::ios::binary);
    if (!f) return JsonError(res, 404, "the network folder holds no report.html (a run with --no-report)");
    std::ostringstream ss;
    ss << f.rdbuf();
    std::string page = ss.str();
    // The page's policy allows no connection, which keeps the file offline;
    // served, it may ask this service for routes (and nothing else).
    const std::string policy = "Content-Security-Policy\" content=\"default-src &#39;none&#39;;";
    const size_t at = page.find(policy);
    if (at != std::string::npos) page.insert(at + policy.size(), " connect-src &#39;self&#39;;");
    res.set_content(page, "text/html; charset=utf-8");
  };
  svr.Get("/", report);
  svr.Get("/report.html", report);

  svr.Get("/route", [&](const httplib::Request& req, httplib::Response& res) {
    if (req.target.size() > ServeMaxQuery) return JsonError(res, 400, "the query is longer than 8192 bytes");
    const std::string pointsText = req.get_param_value("points");
    const std::string mode = req.has_param("mode") ? req.get_param_value("mode") : "shortest";
    if (mode != "shortest" && mode != "fastest")
      return JsonError(res, 400, "mode must be shortest or fastest, not '" + mode.substr(0, 40) + "'");
    size_t net = 0;
    if (req.has_param("net")) {
      double v;
      if (!ParseDecimal(req.get_param_value("net"), v) || v < 0 || v >= static_cast<double>(pools.size()) ||
          v != static_cast<double>(static_cast<size_t>(v)))
        return JsonError(res, 400, "net must be a network's number, 0 to " + std::to_string(pools.size() - 1));
      net = static_cast<size_t>(v);
    }
    std::vector<TFloatPoint> points;
    std::vector<std::string> texts;
    size_t pos = 0;
    while (pos <= pointsText.size()) {
      size_t end = pointsText.find(';', pos);
      if (end == std::string::npos) end = pointsText.size();
      const std::string t = TrimBlanks(std::string_view(pointsText).substr(pos, end - pos));
      pos = end + 1;
      if (points.size() == ServeMaxPoints)
        return JsonError(res, 400, "more than " + std::to_string(ServeMaxPoints) + " points");
      TFloatPoint p;
      if (!ParseLatLon(t, p))
        return JsonError(res, 400, "invalid point '" + t.substr(0, 60) + "' (LAT,LON in degrees, e.g. 42.5063,1.5218)");
      points.push_back(p);
      texts.push_back(t);
    }
    if (points.size() < 2) return JsonError(res, 400, "a route needs at least two points: points=LAT,LON;LAT,LON");
    TWorkerPool& pool = *pools[net];
    TWorker* w = pool.Take();
    if (!w) return JsonError(res, 503, "busy: try again");
    struct TGiveBack {
      TWorkerPool& pool;
      TWorker* w;
      ~TGiveBack() { pool.Give(w); }
    } giveBack{pool, w};
    try {
      w->router->SetFastest(mode == "fastest");
      TTripPlanner planner(*w->router);
      TTripResult trip = planner.Plan(points, texts, o.MaxSnap);
      if (trip.status == TTripStatus::tsNoPlace) return JsonError(res, 422, trip.message);
      if (trip.status != TTripStatus::tsRouted) return JsonError(res, 404, trip.message);
      planner.Complete(trip);
      res.set_content(RouteGeoJson(trip, texts, mode == "fastest"), "application/geo+json");
    } catch (const std::exception& e) {
      JsonError(res, 500, std::string(e.what()) + "; rebuild the network with --network");
    }
  });

  svr.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) {
      const std::string message = res.status == 404 ? "unknown path: GET /route, /health or /"
                                                    : "request refused (status " + std::to_string(res.status) + ")";
      JsonError(res, res.status, message);
    }
  });

  if (!svr.bind_to_port(o.Bind.c_str(), o.Port)) {
    std::fprintf(err, "Cannot listen on %s port %d: the address is in use or not this computer's\n", o.Bind.c_str(),
                 o.Port);
    return 1;
  }
  // The library listens with a queue of 5 connections: clients that connect
  // at once overflow it, and the system then drops their handshakes, which
  // costs each a second or more (a 99th percentile of 6 s with 64 clients).
  int listening = 0;
  socklen_t len = sizeof(listening);
  if (listenFd >= 0 && getsockopt(listenFd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening)
    ::listen(listenFd, SOMAXCONN);
  std::fprintf(out, "Serving %zu network%s on http://%s:%d/ (Ctrl-C stops)\n", pools.size(),
               pools.size() == 1 ? "" : "s", o.Bind.c_str(), o.Port);
  std::fflush(out);
  std::atomic<bool> stopped{false};
  std::thread signals([&] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    stopped = true;
    svr.stop();
  });
  svr.listen_after_bind();
  if (!stopped) {
    // The listener ended by itself: wake the signal thread.
    pthread_kill(signals.native_handle(), SIGTERM);
  }
  signals.join();
  std::fprintf(out, "Stopped\n");
  return 0;
}
