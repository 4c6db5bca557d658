# Third-party dependencies. Debian packages through pkg-config; ONNX Runtime from QO_ORT_ROOT.

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(QO_FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
pkg_check_modules(QO_HWY REQUIRED IMPORTED_TARGET libhwy)
# The audio-to-motion model's 512-point real FFT (the audio subsystem is built only with ORT).
if(QO_WITH_ORT)
  pkg_check_modules(QO_KISSFFT REQUIRED IMPORTED_TARGET kissfft-float)
else()
  add_library(PkgConfig::QO_KISSFFT INTERFACE IMPORTED)
endif()

find_path(QO_STB_INCLUDE_DIR stb_image.h PATH_SUFFIXES stb REQUIRED)
add_library(qo_stb INTERFACE)
target_include_directories(qo_stb SYSTEM INTERFACE ${QO_STB_INCLUDE_DIR})

if(QO_WITH_ORT)
  find_package(OnnxRuntime REQUIRED)
else()
  add_library(OnnxRuntime::onnxruntime INTERFACE IMPORTED)  # nothing to link: no ORT code is built
endif()
