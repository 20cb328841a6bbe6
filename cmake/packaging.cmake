# The installed package: libstrandlink, the public headers, the data-model
# library that callers compile into themselves, a CMake package
# (find_package(strandlink) gives strandlink::strandlink) and a pkg-config
# file. Included from the top-level CMakeLists.txt once `strandlink` exists.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Only the exported interface reaches the dynamic symbol table.
set(STRANDLINK_SYMBOL_MAP ${PROJECT_SOURCE_DIR}/api/strandlink.map)
target_link_options(strandlink PRIVATE "LINKER:--version-script=${STRANDLINK_SYMBOL_MAP}")
set_property(TARGET strandlink APPEND PROPERTY LINK_DEPENDS ${STRANDLINK_SYMBOL_MAP})

# A read's metadata and datasets are built and read by the caller's own copy
# of the data-model code (the library keeps its copy hidden); the layout of
# these objects is common to both copies. Callers get that code from here.
add_library(strandlink_data_model STATIC $<TARGET_OBJECTS:sl_data_model> $<TARGET_OBJECTS:sl_common>)
target_link_libraries(strandlink_data_model PUBLIC Boost::log Boost::log_setup Boost::filesystem Boost::thread
                      Threads::Threads)

# Boost stays private to the package: the public headers use none of it.
# The common code in the data-model library refers to Boost's shared
# libraries, the same ones libstrandlink itself runs with; the installed
# package names them by their versioned file ("-l:libboost_log.so.1.74.0"),
# which Boost's run-time packages provide, so a consumer needs no Boost
# development package, neither for find_package nor for pkg-config.
set(STRANDLINK_BOOST_RUNTIME_LIBS)
foreach(component log log_setup filesystem thread)
  set(location "")
  foreach(property IMPORTED_LOCATION_RELEASE IMPORTED_LOCATION_NOCONFIG IMPORTED_LOCATION)
    if(NOT location)
      get_target_property(location Boost::${component} ${property})
    endif()
  endforeach()
  if(NOT location)
    message(FATAL_ERROR "cannot find the file of Boost::${component}")
  endif()
  get_filename_component(name "${location}" NAME)
  list(APPEND STRANDLINK_BOOST_RUNTIME_LIBS "-l:${name}")
endforeach()
list(JOIN STRANDLINK_BOOST_RUNTIME_LIBS " " STRANDLINK_PC_BOOST_LIBS)

# In the build tree, strandlink::strandlink is what the installed package
# gives: the library, the data-model code and the public headers.
add_library(strandlink_package INTERFACE)
target_include_directories(strandlink_package INTERFACE ${PROJECT_SOURCE_DIR}/api/include ${PROJECT_SOURCE_DIR})
target_link_libraries(strandlink_package INTERFACE strandlink strandlink_data_model)
add_library(strandlink::strandlink ALIAS strandlink_package)

set(STRANDLINK_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/strandlink)
set(STRANDLINK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/strandlink)

install(TARGETS strandlink strandlink_data_model
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The public headers and the self-contained headers they include.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/api/include/apps DESTINATION ${STRANDLINK_INCLUDE_DIR}
        FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data_model DESTINATION ${STRANDLINK_INCLUDE_DIR}
        FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/common/export.h DESTINATION ${STRANDLINK_INCLUDE_DIR}/common)
if(TARGET sl_bam)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/bam DESTINATION ${STRANDLINK_INCLUDE_DIR} FILES_MATCHING PATTERN "*.h")
endif()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/strandlinkConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/package/strandlinkConfig.cmake
                              INSTALL_DESTINATION ${STRANDLINK_CMAKE_DIR}
                              PATH_VARS CMAKE_INSTALL_LIBDIR STRANDLINK_INCLUDE_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/strandlinkConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/strandlinkConfig.cmake
              ${PROJECT_BINARY_DIR}/package/strandlinkConfigVersion.cmake
        DESTINATION ${STRANDLINK_CMAKE_DIR})

# pkg-config: the prefix is found from the file's own place, so the package
# may be installed under any prefix.
set(STRANDLINK_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
string(REGEX REPLACE "[^/]+" ".." STRANDLINK_PC_TO_PREFIX "${STRANDLINK_PC_DIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/strandlink.pc.in ${PROJECT_BINARY_DIR}/package/strandlink.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/strandlink.pc DESTINATION ${STRANDLINK_PC_DIR})
