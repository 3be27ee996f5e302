-- wrk: a 4 KiB POST on every request of a kept-alive connection.
wrk.method = "POST"
wrk.body = string.rep("x", 4096)
wrk.headers["Content-Type"] = "application/octet-stream"
