import sys, time, pickle
import quorvatel, _quorvatel_records
rows = pickle.load(open(sys.argv[1], "rb"))
b = _quorvatel_records.build_snapshot(rows, 10)
print("snapshot", len(b))
try:
    ps = quorvatel.PrefixSearch.from_bytes(b); print("loaded")
except MemoryError as e:
    print("MemoryError", e)
