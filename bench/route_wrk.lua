-- wrk script for bench/route_peers.sh: GET /route for point pairs drawn at
-- random from a CSV file (from_lat,from_lon,to_lat,to_lon per line), and
-- every answer checked: 200 with a route's GeoJSON, or 404 with the JSON
-- error of "no route". Anything else counts as bad and the run fails.
--   wrk ... -s bench/route_wrk.lua URL -- PAIRS.csv shortest|fastest
-- The last line printed is one line for the script that runs wrk:
--   RESULT requests seconds ok noroute bad socket_errors p50_ms p99_ms

local threads = {}
local serial = 0

function setup(thread)
  serial = serial + 1
  thread:set("id", serial)
  table.insert(threads, thread)
end

function init(args)
  local file, mode = args[1], args[2] or "shortest"
  targets = {}
  for line in io.lines(file) do
    local a, b, c, d = line:match("^%s*([-%d.]+),([-%d.]+),([-%d.]+),([-%d.]+)")
    if a then
      targets[#targets + 1] = "/route?points=" .. a .. "," .. b .. ";" .. c .. "," .. d .. "&mode=" .. mode
    end
  end
  if #targets == 0 then error("no pairs in " .. file) end
  -- Each thread its own sequence, the same from run to run.
  math.randomseed(7919 * (id or 1))
  ok, noroute, bad = 0, 0, 0
  firstbad = ""
end

function request()
  return wrk.format("GET", targets[math.random(#targets)])
end

function response(status, headers, body)
  if status == 200 and body:find('"length_km"', 1, true) then
    ok = ok + 1
  elseif status == 404 and body:find('"error"', 1, true) then
    noroute = noroute + 1
  else
    bad = bad + 1
    if firstbad == "" then firstbad = status .. " " .. body:sub(1, 200) end
  end
end

function done(summary, latency, requests)
  local o, n, b = 0, 0, 0
  for _, t in ipairs(threads) do
    o = o + t:get("ok")
    n = n + t:get("noroute")
    b = b + t:get("bad")
    local f = t:get("firstbad")
    if f ~= "" then io.stderr:write("bad answer: " .. f .. "\n") end
  end
  local e = summary.errors
  io.write(string.format("RESULT %d %.3f %d %d %d %d %.2f %.2f\n",
    summary.requests, summary.duration / 1e6, o, n, b,
    e.connect + e.read + e.write + e.timeout,
    latency:percentile(50) / 1000, latency:percentile(99) / 1000))
end
