# The spend check that runs after every history change, over a large history.
qm_bench(alerts SOURCES alerts/SpendBench.cpp LIBS qm_alerts)
