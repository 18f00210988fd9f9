# The usage index: a cold report over a generated tree with 1 and 2 threads, a warm one, one
# after an append, and the index's size.
qm_bench(ledger SOURCES ledger/LedgerBench.cpp LIBS qm_ledger)
