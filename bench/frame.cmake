# frame_bench needs OpenCV's core and imgproc (scripts/install-deps.sh --bench); without them it
# is left out and everything else builds as usual.
find_path(KESTRIN_OPENCV_INCLUDE opencv2/imgproc.hpp PATH_SUFFIXES opencv4)
find_library(KESTRIN_OPENCV_CORE opencv_core)
find_library(KESTRIN_OPENCV_IMGPROC opencv_imgproc)
if(TARGET kestrin AND TARGET kestrin_hostsim AND KESTRIN_OPENCV_INCLUDE AND KESTRIN_OPENCV_CORE
   AND KESTRIN_OPENCV_IMGPROC)
  kestrin_bench(frame_bench SOURCES frame_bench.cpp
                LIBS kestrin_hostsim kestrin_frames kestrin_platform ${KESTRIN_OPENCV_IMGPROC}
                     ${KESTRIN_OPENCV_CORE})
  target_include_directories(frame_bench SYSTEM PRIVATE ${KESTRIN_OPENCV_INCLUDE})
  target_compile_definitions(frame_bench PRIVATE KESTRIN_MODULE_PATH="$<TARGET_FILE:kestrin>")
  add_dependencies(frame_bench kestrin)
else()
  message(STATUS "OpenCV core/imgproc not found: frame_bench is not built "
                 "(scripts/install-deps.sh --bench installs them)")
endif()
