-- wrk script of bench/serve.sh: POSTs infer requests of BATCH texts taken in
-- turn from TEXTS (one text a line), or GETs /v2/health/live when BATCH is 0.
--   wrk ... -s serve.lua URL -- TEXTS BATCH MODEL
-- At the end prints one line: "result REQUESTS_PER_S P50_US P99_US ERRORS".
local bodies, next_body = {}, 1  -- whole requests
local path

local function escape(text)
  return (text:gsub('[%c"\\]', function(c) return string.format("\\u%04x", c:byte()) end))
end

function init(args)
  local batch = tonumber(args[2])
  if batch == 0 then
    path = "/v2/health/live"
    return
  end
  path = "/v2/models/" .. args[3] .. "/infer"
  local texts = {}
  for line in io.lines(args[1]) do
    texts[#texts + 1] = '"' .. escape(line) .. '"'
    if #texts == 20000 then break end
  end
  -- Whole requests are built once, so that the client spends its time on
  -- the wire rather than formatting; wrk's threads each run their own copy
  -- of this.
  for first = 1, #texts - batch + 1, batch do
    local data = table.concat(texts, ",", first, first + batch - 1)
    local body = string.format(
      '{"parameters":{"nbest":3},"inputs":[{"name":"text","datatype":"BYTES","shape":[%d],"data":[%s]}]}',
      batch, data)
    bodies[#bodies + 1] = wrk.format("POST", path, {["Content-Type"] = "application/json"}, body)
    if #bodies == 2000 then break end
  end
end

function request()
  if #bodies == 0 then return wrk.format("GET", path) end
  local request = bodies[next_body]
  next_body = next_body % #bodies + 1
  return request
end

function done(summary, latency, requests)
  local errors = summary.errors.connect + summary.errors.read + summary.errors.write
                 + summary.errors.status + summary.errors.timeout
  io.write(string.format("result %.1f %d %d %d\n", summary.requests / (summary.duration / 1e6),
                         latency:percentile(50), latency:percentile(99), errors))
end
