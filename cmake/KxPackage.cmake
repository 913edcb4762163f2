# What applications see of the library: the version header, the link names
# kx::tracker and kx::analyzer, and the installed package (libraries,
# headers, models, CMake and pkg-config files, a Debian package via cpack).
include(CMakePackageConfigHelpers)

# One version number, set by project(): the header carries it to the tools
# and the Python module (kx/version.h), and is installed with the headers.
set(KX_GENERATED_INCLUDE ${PROJECT_BINARY_DIR}/generated/include)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${KX_GENERATED_INCLUDE}/kx/version.h @ONLY)
target_include_directories(kx_core INTERFACE $<BUILD_INTERFACE:${KX_GENERATED_INCLUDE}>)

# kx::tracker: the KXTracker_* functions. Their header takes cv::Mat, so
# applications compile and link against OpenCV's core as well.
target_include_directories(kx_tracker INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<BUILD_INTERFACE:${KX_GENERATED_INCLUDE}> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(kx_tracker INTERFACE opencv_core)
set_target_properties(kx_tracker PROPERTIES EXPORT_NAME tracker)
# kx::analyzer: kx::FaceAnalyzer, the static C++ library.
set_target_properties(kx_core PROPERTIES EXPORT_NAME analyzer)
# The same names inside this build, for the examples and for projects that
# add this source tree as a subdirectory.
add_library(kx::tracker ALIAS kx_tracker)
add_library(kx::analyzer ALIAS kx_core)

set(KX_INSTALL_MODELDIR ${CMAKE_INSTALL_DATADIR}/kx_tracker/models)
set(KX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kx_tracker)
set(KX_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS kx_tracker kx_core EXPORT kx_trackerTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ ${KX_GENERATED_INCLUDE}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The trained models, where kxface and the Python module look by default.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/models/ DESTINATION ${KX_INSTALL_MODELDIR}
  FILES_MATCHING PATTERN "*.dat" PATTERN "*.bin" PATTERN "README.md"
  PATTERN "parity" EXCLUDE)

install(EXPORT kx_trackerTargets NAMESPACE kx:: DESTINATION ${KX_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kx_trackerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/kx_trackerConfig.cmake
  INSTALL_DESTINATION ${KX_INSTALL_CMAKEDIR}
  PATH_VARS KX_INSTALL_MODELDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/kx_trackerConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/kx_trackerConfig.cmake
  ${PROJECT_BINARY_DIR}/package/kx_trackerConfigVersion.cmake DESTINATION ${KX_INSTALL_CMAKEDIR})

# pkg-config files that find the prefix from their own place, so that an
# installation can be moved (or made under a temporary prefix).
file(RELATIVE_PATH KX_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KX_PC_TO_PREFIX "${KX_PC_TO_PREFIX}")
foreach(pc kx_tracker kx_tracker_cpp)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${PROJECT_BINARY_DIR}/package/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/${pc}.pc DESTINATION ${KX_INSTALL_PKGCONFIGDIR})
endforeach()

# cpack -G DEB: one package with the libraries, headers, tools and models.
set(CPACK_PACKAGE_NAME kx-tracker)
set(CPACK_PACKAGE_VENDOR "kx_tracker developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "face detection, 5 and 95 landmarks and face tracking")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kx_tracker developers <kx_tracker@localhost>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# Run-time libraries from the binaries; headers and the CMake package need
# OpenCV's development files.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libopencv-dev")
# The Python module imports NumPy.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3, python3-numpy")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
include(CPack)
