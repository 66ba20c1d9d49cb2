# Proof-of-work hash, header assembly and the interleaved job precomputation, per call.
tavo_add_bench(work_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/work_bench.cpp LIBS tavo_djob tavo_work)
