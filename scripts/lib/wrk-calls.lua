-- wrk script: GETs PREFIX..CALL..SUFFIX for callsigns drawn at random from a file of one callsign a
-- line, the requests formatted once at the start. With PAUSE > 0 each connection waits before each
-- request a random time of PAUSE ms on average (drawn from the exponential distribution, so that
-- the connections ask at random moments, as independent users do, not in bursts together): a
-- light steady load. With 0 it asks again as soon as it has an answer.
-- When done it writes the run's figures as JSON to the file named by WRK_OUT (latencies in µs).
--
--   WRK_OUT=FILE wrk -t1 -s wrk-calls.lua URL -- CALLS PREFIX SUFFIX PAUSE
local requests, pause = {}, 0

function init(args)
  for call in io.lines(args[1]) do
    requests[#requests + 1] = wrk.format("GET", args[2] .. call .. args[3])
  end
  pause = tonumber(args[4]) or 0
  if pause <= 0 then
    delay = nil  -- wrk looks for the function after init: no timer per request
  end
  math.randomseed(#requests)
end

function request()
  return requests[math.random(#requests)]
end

function delay()
  return math.floor(-math.log(1 - math.random()) * pause + 0.5)
end

function done(summary, latency, _)
  local e = summary.errors
  local out = assert(io.open(assert(os.getenv("WRK_OUT")), "w"))
  out:write(string.format(
    '{"requests": %d, "duration_us": %d, "bytes": %d, "mean_us": %.1f, "max_us": %d, ' ..
    '"p50_us": %d, "p90_us": %d, "p99_us": %d, "p999_us": %d, "errors": {"connect": %d, ' ..
    '"read": %d, "write": %d, "status": %d, "timeout": %d}}\n',
    summary.requests, summary.duration, summary.bytes, latency.mean, latency.max,
    latency:percentile(50), latency:percentile(90), latency:percentile(99),
    latency:percentile(99.9), e.connect, e.read, e.write, e.status, e.timeout))
  out:close()
end
