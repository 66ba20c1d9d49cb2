# Mining engine: time from the first job to mining, CPU share outside the kernels while mining,
# and the costs of building a Work and verifying a full batch.
tavo_add_bench(miner_bench SOURCES miner_bench.cpp LIBS tavo_miner)
