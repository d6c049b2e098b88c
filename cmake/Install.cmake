# Installs the library, the stand-in host and an exported CMake package:
#   find_package(gatewayutils) ; target_link_libraries(app PRIVATE gatewayutils::gatewayutils)
# A host that brings its own platform implementation links gatewayutils::gatewayutils; one that
# uses the stand-in host links gatewayutils::standin.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/lib/
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/gatewayutils
        FILES_MATCHING PATTERN "*.h")
# The popup stand-in's internal headers stay out: only its own files include them.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/gatewayutils/host
        FILES_MATCHING PATTERN "*.h"
        PATTERN "PopupWidgetTree.h" EXCLUDE
        PATTERN "PopupNames.h" EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/firmware/ReleaseFile.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/gatewayutils/firmware)
install(TARGETS gatewayutils gwu_os gwu_firmware gatewayutils_host gatewayutils_popup
                gatewayutils_standin gwu_warnings
        EXPORT gatewayutilsTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(EXPORT gatewayutilsTargets
        NAMESPACE gatewayutils::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/gatewayutils)

write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/gatewayutilsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/gatewayutilsConfig.cmake
"include(CMakeFindDependencyMacro)
find_dependency(Threads)
include(\${CMAKE_CURRENT_LIST_DIR}/gatewayutilsTargets.cmake)
")
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/gatewayutilsConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/gatewayutilsConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/gatewayutils)
