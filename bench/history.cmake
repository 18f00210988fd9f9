# The history save at growing sizes against a raw write + fsync of the same bytes, and the load.
qm_bench(history SOURCES history/HistoryBench.cpp LIBS qm_history)
