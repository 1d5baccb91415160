"""promql.py QUERY [le]: the values of an instant query (or their `le`
labels), one a line, from the Prometheus a lab test runs on 127.0.0.1:9090,
once it answers."""
import json
import sys
import time
import urllib.parse
import urllib.request

url = "http://127.0.0.1:9090/api/v1/query?" + urllib.parse.urlencode({"query": sys.argv[1]})
for _ in range(100):
    try:
        result = json.load(urllib.request.urlopen(url, timeout=1))["data"]["result"]
        break
    except OSError:
        time.sleep(0.2)
for series in result:
    print(series["metric"]["le"] if sys.argv[2:] else series["value"][1])
