# The local scan: Codex rollout throughput against a bare simdjson parse, and peak memory.
qm_bench(scan SOURCES scan/ScanBench.cpp scan/ScanGenerator.h scan/ClaudeCodeGenerator.h LIBS qm_ledger)
