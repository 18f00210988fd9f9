# The newer agents' logs in the usage index: OpenCode's JSON storage and database, in a shape of
# many small sessions and one of few large ones, each against a bare read of the same bytes.
qm_bench(agents
  SOURCES agents/AgentsBench.cpp ledger/BenchFigures.h
  LIBS qm_ledger SQLite::SQLite3 Qt6::Core)
