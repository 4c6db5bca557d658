# Finds ONNX Runtime under QO_ORT_ROOT (or the system paths) and defines OnnxRuntime::onnxruntime.
#   OnnxRuntime_INCLUDE_DIR  directory holding onnxruntime_cxx_api.h
#   OnnxRuntime_LIBRARY      libonnxruntime.so

find_path(OnnxRuntime_INCLUDE_DIR onnxruntime_cxx_api.h
  HINTS "${QO_ORT_ROOT}/include" "${QO_ORT_ROOT}/include/onnxruntime"
  PATH_SUFFIXES onnxruntime onnxruntime/core/session)
find_library(OnnxRuntime_LIBRARY NAMES onnxruntime HINTS "${QO_ORT_ROOT}/lib")

if(OnnxRuntime_INCLUDE_DIR AND EXISTS "${OnnxRuntime_INCLUDE_DIR}/onnxruntime_c_api.h")
  file(STRINGS "${OnnxRuntime_INCLUDE_DIR}/onnxruntime_c_api.h" _ort_api REGEX "^#define ORT_API_VERSION [0-9]+")
  string(REGEX REPLACE ".* ([0-9]+)$" "\\1" OnnxRuntime_API_VERSION "${_ort_api}")
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OnnxRuntime
  REQUIRED_VARS OnnxRuntime_LIBRARY OnnxRuntime_INCLUDE_DIR
  VERSION_VAR OnnxRuntime_API_VERSION
  REASON_FAILURE_MESSAGE "run scripts/install-deps.sh, or pass -DQO_ORT_ROOT=<dir with include/ and lib/>")

if(OnnxRuntime_FOUND AND NOT TARGET OnnxRuntime::onnxruntime)
  add_library(OnnxRuntime::onnxruntime SHARED IMPORTED)
  set_target_properties(OnnxRuntime::onnxruntime PROPERTIES
    IMPORTED_LOCATION "${OnnxRuntime_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${OnnxRuntime_INCLUDE_DIR}")
  if(OnnxRuntime_API_VERSION LESS 26)
    message(FATAL_ERROR "ONNX Runtime C API ${OnnxRuntime_API_VERSION} is too old (need 26 or later)")
  endif()
endif()
