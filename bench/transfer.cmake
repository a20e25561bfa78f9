if(TARGET kestrin_plugin)
  kestrin_bench(transfer_bench SOURCES transfer_bench.cpp LIBS kestrin_plugin)
endif()
