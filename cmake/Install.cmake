# cmake --install: the plug-in, the platform libraries, the agent-facing headers and, when built,
# snapjob and clustersim, under the GNU layout; a CMake package (namespace QumuloSnap::) and a
# pkg-config file for consumers.
include(CMakePackageConfigHelpers)

set(SNAP_PLATFORM_LIBRARIES QiUtils KwLib FsClient KWAppMgr KwQumuloSDKWrapper)
set(SNAP_HEADER_DIR ${CMAKE_INSTALL_INCLUDEDIR}/qumulo-snap)
set(SNAP_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QumuloSnapPlugin)

# The agent-facing headers, with the platform headers they and the libraries' users include. The
# headers lie flat in include/qumulo-snap/, as the agent expects them, and reach each other there;
# consumers name them <qumulo-snap/...>, so that generic names such as Parser.h never shadow theirs.
add_library(QumuloSnapHeaders INTERFACE)
target_include_directories(QumuloSnapHeaders INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(QumuloSnapHeaders INTERFACE QiUtils KWAppMgr Boost::boost)
target_compile_features(QumuloSnapHeaders INTERFACE cxx_std_17)
set_target_properties(QumuloSnapHeaders PROPERTIES EXPORT_NAME headers)

set_target_properties(QumuloSnapClient PROPERTIES INSTALL_RPATH "${SNAP_LIBRARY_RPATH}")
install(TARGETS ${SNAP_PLATFORM_LIBRARIES} QumuloSnapClient QumuloSnapHeaders
        EXPORT QumuloSnapPluginTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
file(GLOB SNAP_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/*.h)
foreach(library ${SNAP_PLATFORM_LIBRARIES})
  file(GLOB headers ${PROJECT_SOURCE_DIR}/platform/${library}/*.h)
  list(APPEND SNAP_PUBLIC_HEADERS ${headers})
endforeach()
install(FILES ${SNAP_PUBLIC_HEADERS} DESTINATION ${SNAP_HEADER_DIR})

if(SNAP_BUILD_TOOLS)
  set_target_properties(snapjob clustersim PROPERTIES INSTALL_RPATH "${SNAP_TOOL_RPATH}")
  install(TARGETS snapjob clustersim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT QumuloSnapPluginTargets NAMESPACE QumuloSnap:: DESTINATION ${SNAP_PACKAGE_DIR})
configure_package_config_file(cmake/QumuloSnapPluginConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/QumuloSnapPluginConfig.cmake
                              INSTALL_DESTINATION ${SNAP_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QumuloSnapPluginConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QumuloSnapPluginConfig.cmake
              ${PROJECT_BINARY_DIR}/QumuloSnapPluginConfigVersion.cmake
        DESTINATION ${SNAP_PACKAGE_DIR})

# Relative to the .pc file, so that a copied prefix still describes itself.
file(RELATIVE_PATH SNAP_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(cmake/qumulo-snap-plugin.pc.in ${PROJECT_BINARY_DIR}/qumulo-snap-plugin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qumulo-snap-plugin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
