kestrin_bench(model_bench SOURCES model_bench.cpp LIBS kestrin_model kestrin_frames)
