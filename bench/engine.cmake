kestrin_bench(engine_bench SOURCES engine_bench.cpp
              LIBS kestrin_effect_runner kestrin_frames kestrin_shader GTest::gtest)
# The span engine prototype's lane loops vectorise as the interpreter's do (same options).
set_source_files_properties(engine_bench.cpp PROPERTIES COMPILE_OPTIONS "-O3;-ffp-contract=off")
