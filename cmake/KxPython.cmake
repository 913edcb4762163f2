# KX_PYTHON: the Python module kx_tracker (pybind11), on by default when
# pybind11 and the Python development files are found. The system
# interpreter is the one to build for: Debian's pybind11, NumPy and pytest
# belong to it, whatever python3 comes first on PATH.
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "Python interpreter the module is built for")
endif()
find_package(Python3 COMPONENTS Interpreter Development.Module QUIET)
if(Python3_FOUND)
  find_package(pybind11 CONFIG QUIET)
endif()
# A sanitized module cannot be loaded by an interpreter built without the
# sanitizer runtime.
if(Python3_FOUND AND pybind11_FOUND AND NOT KX_SANITIZE)
  set(KX_PYTHON_DEFAULT ON)
else()
  set(KX_PYTHON_DEFAULT OFF)
endif()
option(KX_PYTHON "Build the Python module kx_tracker (build/python)" ${KX_PYTHON_DEFAULT})
if(KX_PYTHON)
  if(NOT Python3_FOUND OR NOT pybind11_FOUND)
    message(FATAL_ERROR "KX_PYTHON needs Python 3 development files and pybind11 "
                        "(Debian: python3-dev python3-pybind11)")
  endif()
  add_subdirectory(python)
endif()
