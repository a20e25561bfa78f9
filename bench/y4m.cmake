if(TARGET kestrin_hostsim)
  kestrin_bench(y4m_bench SOURCES y4m_bench.cpp LIBS kestrin_hostsim)
endif()
