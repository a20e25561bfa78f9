if(TARGET kestrin_plugin AND TARGET kestrin_hostsim)
  kestrin_bench(transfer_bench SOURCES transfer_bench.cpp LIBS kestrin_plugin kestrin_hostsim)
endif()
